#ifndef CONSOLE_H
#define CONSOLE_H

#include <QByteArray>
#include <QObject>
#include <QString>

#include <cstdio>

class QSocketNotifier;

// What the command line needs of the console it runs in: whether a stream is a terminal, UTF-8 and cursor movement,
// an answer typed on stdin without stopping the event loop, and the requests to stop (Ctrl+C, SIGTERM).
namespace console
{

bool is_terminal(FILE* stream);
// Texts go out as UTF-8, and a terminal takes the cursor movements that redraw the progress lines.
void prepare();
// The width of the terminal on stdout; 0 when unknown.
int columns();
// One line, as UTF-8, flushed at once: a script reading a pipe sees each line as it happens.
void write_line(FILE* stream, const QString& text);
void write(FILE* stream, const QByteArray& bytes);

} // namespace console

// Reads one line from stdin while the event loop keeps running, so that the units' ports and a stop request are
// served while the operator thinks.
class ConsoleAnswer : public QObject
{
    Q_OBJECT
public:
    explicit ConsoleAnswer(QObject* parent = nullptr);
    ~ConsoleAnswer() override;
    void ask();

signals:
    // The line without its end; `closed` when stdin ended before a line.
    void answered(const QString& line, bool closed);

private:
    void read_some();

    QSocketNotifier* notifier = nullptr;
    QByteArray typed;
};

// Ctrl+C, SIGTERM, or the console closing, each reported once through the event loop: the units must be stopped
// from there, never from inside a signal handler.
class StopRequests : public QObject
{
    Q_OBJECT
public:
    explicit StopRequests(QObject* parent = nullptr);
    ~StopRequests() override;
    StopRequests(const StopRequests&) = delete;
    StopRequests& operator=(const StopRequests&) = delete;

signals:
    // "SIGINT", "SIGTERM", "CTRL_C", ...
    void requested(const QString& name);

private:
    QSocketNotifier* notifier = nullptr;
};

#endif // CONSOLE_H
