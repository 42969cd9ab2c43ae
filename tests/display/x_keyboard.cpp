#include "x_keyboard.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QVector>
#include <QWidget>
#include <QtTest>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace
{

// A key reaches the program within milliseconds on Xvfb; the bound only keeps a lost key from
// hanging the run.
constexpr int arrival_bound_ms = 2000;

struct ModifierKey {
    Qt::KeyboardModifier modifier;
    KeySym keysym;
};
const ModifierKey modifier_keys[] = {
    {Qt::ControlModifier, XK_Control_L},
    {Qt::ShiftModifier, XK_Shift_L},
};

// Latin-1 keysyms are the characters' own code points; Qt names a letter key by its capital.
KeySym keysym_of(int key)
{
    if (key < 0x100)
        return QChar(key).toLower().unicode();
    return key == Qt::Key_Backspace ? XK_BackSpace : NoSymbol;
}

} // namespace

XKeyboard::XKeyboard() : display(XOpenDisplay(nullptr))
{
    QCoreApplication::instance()->installEventFilter(this);
}

XKeyboard::~XKeyboard()
{
    if (display)
        XCloseDisplay(display);
}

bool XKeyboard::activate(QWidget* window)
{
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window))
        return false;
    Window focus;
    int revert_to;
    XGetInputFocus(display, &focus, &revert_to);
    return focus == window->winId();
}

bool XKeyboard::type(const QKeySequence& chords)
{
    for (int i = 0; i < chords.count(); ++i) {
        const int chord = chords[i];
        if (!stroke(keysym_of(chord & ~Qt::KeyboardModifierMask),
                    Qt::KeyboardModifiers(chord & Qt::KeyboardModifierMask)))
            return false;
    }
    return true;
}

bool XKeyboard::type(const QString& text)
{
    for (QChar character : text) {
        if (!stroke(character.unicode(), Qt::NoModifier))
            return false;
    }
    return true;
}

bool XKeyboard::stroke(unsigned long keysym, Qt::KeyboardModifiers modifiers)
{
    const KeyCode code = XKeysymToKeycode(display, keysym);
    if (code == 0)
        return false;
    // A character the key gives only on its shifted level, such as a capital, needs Shift.
    if (XkbKeycodeToKeysym(display, code, 0, 0) != keysym)
        modifiers |= Qt::ShiftModifier;
    QVector<KeyCode> held;
    for (const ModifierKey& row : modifier_keys) {
        if (modifiers & row.modifier)
            held << XKeysymToKeycode(display, row.keysym);
    }
    for (KeyCode key : held)
        XTestFakeKeyEvent(display, key, True, CurrentTime);
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    for (auto key = held.crbegin(); key != held.crend(); ++key)
        XTestFakeKeyEvent(display, *key, False, CurrentTime);
    last_release = 0;
    XSync(display, False);
    // The server hands the faked keys on in order: once the last release is in, so is the rest.
    // Waiting for it also keeps a doubled letter from reading as one key held down.
    const KeyCode last = held.isEmpty() ? code : held.first();
    return QTest::qWaitFor([&] { return last_release == last; }, arrival_bound_ms);
}

// Xlib names its event codes as Qt names its event types.
#undef KeyRelease

bool XKeyboard::eventFilter(QObject*, QEvent* event)
{
    if (event->type() == QEvent::KeyRelease)
        last_release = static_cast<QKeyEvent*>(event)->nativeScanCode();
    return false;
}
