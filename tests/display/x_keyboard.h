#ifndef X_KEYBOARD_H
#define X_KEYBOARD_H

#include <QKeySequence>
#include <QObject>
#include <QString>

struct _XDisplay;
class QWidget;

// Types as a keyboard does: every key goes through the X server (XTest), so it reaches whatever
// has the focus there, and the window's focused widget and shortcuts decide what it does.
class XKeyboard : public QObject
{
public:
    XKeyboard();
    ~XKeyboard() override;

    bool is_open() const { return display != nullptr; }
    // Gives the window the server's input focus; true once the server and Qt both say it has it.
    bool activate(QWidget* window);
    // Each returns once the program has received the last key; false when a key has no keycode
    // or never arrived.
    bool type(const QKeySequence& chords);
    bool type(const QString& text);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool stroke(unsigned long keysym, Qt::KeyboardModifiers modifiers);

    _XDisplay* display = nullptr;
    quint32 last_release = 0;
};

#endif // X_KEYBOARD_H
