#include "cli/console.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

#ifdef Q_OS_WIN
#include <QMetaObject>
#include <io.h>
#include <windows.h>
#endif

namespace console
{

bool is_terminal(FILE* stream)
{
#ifdef Q_OS_UNIX
    return ::isatty(fileno(stream)) == 1;
#elif defined(Q_OS_WIN)
    return ::_isatty(_fileno(stream)) != 0;
#else
    Q_UNUSED(stream)
    return false;
#endif
}

void prepare()
{
#ifdef Q_OS_WIN
    SetConsoleOutputCP(CP_UTF8);
    // Windows 10 consoles move the cursor on escape codes only when asked to.
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode))
        SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#endif
}

int columns()
{
#ifdef Q_OS_UNIX
    winsize size = {};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0)
        return size.ws_col;
#elif defined(Q_OS_WIN)
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#endif
    return 0;
}

void write(FILE* stream, const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

void write_line(FILE* stream, const QString& text)
{
    write(stream, text.toUtf8() + '\n');
}

} // namespace console

ConsoleAnswer::ConsoleAnswer(QObject* parent) : QObject(parent) {}

ConsoleAnswer::~ConsoleAnswer() = default;

void ConsoleAnswer::ask()
{
    typed.clear();
#ifdef Q_OS_UNIX
    if (!notifier) {
        notifier = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &ConsoleAnswer::read_some);
    }
    notifier->setEnabled(true);
#else
    // A console's input cannot be watched by the event loop here; Ctrl+C ends the read with nothing.
    char line[256] = {};
    const bool got = std::fgets(line, sizeof line, stdin) != nullptr;
    const QString text = QString::fromLocal8Bit(line).trimmed();
    QMetaObject::invokeMethod(
        this, [this, text, got] { emit answered(text, !got); }, Qt::QueuedConnection);
#endif
}

void ConsoleAnswer::read_some()
{
#ifdef Q_OS_UNIX
    char block[256];
    const ssize_t got = ::read(STDIN_FILENO, block, sizeof block);
    if (got < 0 && errno == EINTR)
        return;
    if (got > 0)
        typed.append(block, static_cast<int>(got));
    const int end = typed.indexOf('\n');
    if (got > 0 && end < 0)
        return;
    notifier->setEnabled(false);
    emit answered(QString::fromUtf8(end < 0 ? typed : typed.left(end)).trimmed(), end < 0);
#endif
}

#ifdef Q_OS_UNIX
namespace
{

// The handler may only write to a descriptor; the event loop reads the signal's number from the other end.
int stop_pipe[2] = {-1, -1};

extern "C" void on_stop_signal(int number)
{
    const int saved = errno;
    const char byte = static_cast<char>(number);
    const ssize_t written = ::write(stop_pipe[1], &byte, 1);
    Q_UNUSED(written)
    errno = saved;
}

} // namespace

StopRequests::StopRequests(QObject* parent) : QObject(parent)
{
    if (::pipe(stop_pipe) != 0)
        return;
    for (const int end : stop_pipe)
        ::fcntl(end, F_SETFD, FD_CLOEXEC);
    // A second Ctrl+C while the first is handled must not block the handler.
    ::fcntl(stop_pipe[1], F_SETFL, O_NONBLOCK);
    notifier = new QSocketNotifier(stop_pipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char byte = 0;
        if (::read(stop_pipe[0], &byte, 1) == 1)
            emit requested(QString::fromLatin1(byte == SIGTERM ? "SIGTERM" : "SIGINT"));
    });
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

StopRequests::~StopRequests()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    delete notifier;
    for (int& end : stop_pipe) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
}
#endif

#ifdef Q_OS_WIN
namespace
{

StopRequests* stop_requests = nullptr;
// Windows ends the process once the handler of a closing console returns: the event loop gets this long to stop
// the units and write their records.
constexpr DWORD close_grace_ms = 3000;

BOOL WINAPI on_console_event(DWORD event)
{
    const char* name = event == CTRL_C_EVENT ? "CTRL_C" : event == CTRL_BREAK_EVENT ? "CTRL_BREAK" : "CTRL_CLOSE";
    StopRequests* requests = stop_requests;
    if (!requests)
        return FALSE;
    QMetaObject::invokeMethod(
        requests, [requests, name] { emit requests->requested(QString::fromLatin1(name)); }, Qt::QueuedConnection);
    if (event == CTRL_CLOSE_EVENT)
        Sleep(close_grace_ms);
    return TRUE;
}

} // namespace

StopRequests::StopRequests(QObject* parent) : QObject(parent)
{
    stop_requests = this;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

StopRequests::~StopRequests()
{
    SetConsoleCtrlHandler(on_console_event, FALSE);
    stop_requests = nullptr;
}
#endif
