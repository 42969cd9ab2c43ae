#ifndef X_KEYBOARD_H
#define X_KEYBOARD_H

#include <QObject>
#include <QStringList>

class QWidget;

// Types as a keyboard does: xdotool sends every key through the X server (XTest), so focus and shortcuts decide what it
// does. Each typing returns once every key's release arrived; false when xdotool failed or a key was lost.
class XKeyboard : public QObject
{
public:
    XKeyboard();
    // Gives the window the server's input focus; true once the server and Qt both say it has it.
    bool activate(QWidget* window);
    // Chords in xdotool's names, "ctrl+v" or "BackSpace": each key of a chord is released once.
    bool keys(const QStringList& chords) { return send(QStringList{"key"} + chords, chords.join('+').count('+') + 1); }
    bool type(const QString& text) { return send({"type", text}, text.size()); }

protected:
    bool eventFilter(QObject*, QEvent* event) override;

private:
    static bool xdotool(const QStringList& args, QByteArray* out = nullptr);
    bool send(const QStringList& args, int keys);

    int releases = 0;
};

#endif // X_KEYBOARD_H
