#include "app/mainwindow.h"
#include "converter/zipwindow.h"
#include "equipment/equipment_simulator.h"
#include "link/port_access.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/form_fonts.h"
#include "widgets/popup.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLinkButton>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QtTest>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

// Xlib names its event codes as Qt names its event types.
#undef KeyRelease

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

// Types as a keyboard does: every key goes through the X server (XTest), so it reaches whatever
// has the focus there, and the window's focused widget and shortcuts decide what it does. Each
// typing returns once the program has received the last key; false when a key has no keycode or
// never arrived.
class XKeyboard : public QObject
{
public:
    XKeyboard() : display(XOpenDisplay(nullptr)) { QCoreApplication::instance()->installEventFilter(this); }
    ~XKeyboard() override
    {
        if (display)
            XCloseDisplay(display);
    }
    bool is_open() const { return display != nullptr; }
    // Gives the window the server's input focus; true once the server and Qt both say it has it.
    bool activate(QWidget* window)
    {
        window->activateWindow();
        if (!QTest::qWaitForWindowActive(window))
            return false;
        Window focus;
        int revert_to;
        XGetInputFocus(display, &focus, &revert_to);
        return focus == window->winId();
    }
    // Latin-1 keysyms are the characters' own code points; Qt names a letter key by its capital.
    bool type(const QKeySequence& chords)
    {
        for (int i = 0; i < chords.count(); ++i) {
            const int key = chords[i] & ~Qt::KeyboardModifierMask;
            const KeySym keysym = key < 0x100                ? QChar(key).toLower().unicode()
                                  : key == Qt::Key_Backspace ? XK_BackSpace
                                                             : NoSymbol;
            if (!stroke(keysym, Qt::KeyboardModifiers(chords[i] & Qt::KeyboardModifierMask)))
                return false;
        }
        return true;
    }
    bool type(const QString& text)
    {
        return std::all_of(text.begin(), text.end(), [this](QChar c) { return stroke(c.unicode(), Qt::NoModifier); });
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::KeyRelease)
            last_release = static_cast<QKeyEvent*>(event)->nativeScanCode();
        return false;
    }

private:
    bool stroke(unsigned long keysym, Qt::KeyboardModifiers modifiers)
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

    Display* display = nullptr;
    quint32 last_release = 0;
};

// Wrapped text needs the height its width gives it; other text its size hint.
void check_fit(QWidget* widget, QStringList& faults)
{
    QSize needed, room = widget->size();
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        needed = label->wordWrap() ? QSize(0, label->heightForWidth(room.width())) : label->sizeHint();
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        // A command link draws its title in bold.
        QFont font = button->font();
        font.setBold(font.bold() || qobject_cast<QCommandLinkButton*>(button));
        const int icon = button->icon().isNull() ? 0 : button->iconSize().width();
        needed = QSize(QFontMetrics(font).horizontalAdvance(button->text()) + icon, QFontMetrics(font).height());
        QStyleOptionButton option;
        option.initFrom(button);
        room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).size();
    }
    if (needed.width() > room.width() || needed.height() > room.height()) {
        faults << QString();
        QDebug(&faults.last()) << widget->window()->objectName() << widget->objectName() << needed << room;
    }
}

} // namespace

class tst_real_display : public QObject
{
    Q_OBJECT

private slots:
    void every_window_maps_and_shows_its_texts_whole();
};

void tst_real_display::every_window_maps_and_shows_its_texts_whole()
{
    QVERIFY2(QGuiApplication::platformName() == QLatin1String("xcb"), "run through on_xvfb.sh");
    XKeyboard keyboard;
    QVERIFY2(keyboard.is_open(), "no X server");
    form_fonts::install();
    EquipmentSimulator line;
    QVERIFY(line.open_pty());
    WindowUnderTest ui;
    ui.window->show();
    auto* port = ui.widget<QComboBox>("boxPort");
    auto* path = ui.converter->findChild<QLineEdit*>("pathLineEdit");
    const QKeySequence converter_keys(QStringLiteral("Ctrl+V, Ctrl+K, Ctrl+T"));

    // The window starts with the focus in the port box, whose text field has keys of its own for
    // two of the chords.
    QVERIFY(keyboard.activate(ui.window));
    QCOMPARE(QApplication::focusWidget(), port);
    QVERIFY(keyboard.type(converter_keys));
    QVERIFY(QTest::qWaitForWindowExposed(ui.converter));
    path->setText(QStringLiteral("left over"));
    ui.converter->close();

    // A port typed by name, as for the simulated equipment the system does not list; the converter
    // then opens on the third chord only, with its fields cleared.
    port->clearEditText();
    QVERIFY(keyboard.activate(ui.window));
    QVERIFY(keyboard.type(line.port_path() + QLatin1Char('x')));
    QVERIFY(keyboard.type(QKeySequence(Qt::Key_Backspace)));
    QCOMPARE(port->currentText(), line.port_path());
    QVERIFY(keyboard.type(QKeySequence(QStringLiteral("Ctrl+V, Ctrl+K"))));
    QVERIFY(!ui.converter->isVisible());
    QVERIFY(keyboard.type(QKeySequence(QStringLiteral("Ctrl+T"))));
    QVERIFY(QTest::qWaitForWindowExposed(ui.converter));
    QVERIFY(path->text().isEmpty());
    ui.converter->close();

    ui.widget<QPushButton>("connectButton")->click();
    QCOMPARE(ui.text("connectButton"), QStringLiteral("DESCONECTAR"));
    QTemporaryDir folder;
    const QString package = folder.filePath(QStringLiteral("Linha_X_3000#rev2.vkt"));
    QVERIFY(package_builder::write_package(package, {{"MAIN_1", package_builder::converted_firmware('C', 4)}}));
    QVERIFY(ui.choose_package(package));
    QVERIFY(QTest::qWaitForWindowExposed(ui.popup));
    // Only the main window opens the converter.
    QVERIFY(keyboard.activate(ui.popup));
    QVERIFY(keyboard.type(converter_keys));
    QVERIFY(!ui.converter->isVisible());
    QVERIFY(keyboard.activate(ui.window));
    QVERIFY(keyboard.type(converter_keys));
    QVERIFY(QTest::qWaitForWindowExposed(ui.converter));

    // An icon too big for one X request ends the process once the server has answered.
    QTest::qWait(300);
    QStringList faults;
    // Every notice the window writes into its info label, the connection's among them.
    auto* info = ui.widget<QLabel>("info");
    for (const QString& notice : MainWindow::info_notices() + QStringList{port_access::refusal_notice(
                                                                  {true, QStringLiteral("dialout")}, true)}) {
        info->setText(notice);
        check_fit(info, faults);
    }
    for (QWidget* window : QWidgetList{ui.window, ui.popup, ui.converter}) {
        QVERIFY2(window->windowHandle()->isExposed(), qPrintable(window->objectName()));
        for (const QSize& size : window->windowIcon().availableSizes())
            QVERIFY2(size.width() <= 256 && size.height() <= 256, qPrintable(window->objectName()));
        for (QWidget* widget : window->findChildren<QWidget*>())
            check_fit(widget, faults);
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1String("; "))));
}

QTEST_MAIN(tst_real_display)
#include "tst_real_display.moc"
