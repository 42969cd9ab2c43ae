#include "support/pty_pair.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

namespace
{
// Short enough to keep the event loop lively, long enough not to spin the processor.
constexpr int poll_slice_ms = 5;
} // namespace

PtyPair::PtyPair()
{
    char name[256] = {};
    if (::openpty(&master_fd, &slave_fd, name, nullptr, nullptr) != 0) {
        master_fd = slave_fd = -1;
        return;
    }
    slave_name = QString::fromLocal8Bit(name);
    // The master side must pass bytes through untouched, like the far end of a wire.
    termios raw{};
    ::tcgetattr(master_fd, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(master_fd, TCSANOW, &raw);
    ::fcntl(master_fd, F_SETFL, ::fcntl(master_fd, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair()
{
    hang_up();
    if (slave_fd >= 0)
        ::close(slave_fd);
}

termios PtyPair::slave_termios() const
{
    termios settings{};
    ::tcgetattr(slave_fd, &settings);
    return settings;
}

speed_t PtyPair::slave_baud() const
{
    const termios settings = slave_termios();
    return ::cfgetospeed(&settings);
}

bool PtyPair::write(const QByteArray& bytes)
{
    qsizetype done = 0;
    while (master_fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(master_fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else {
            pollfd descriptor{master_fd, POLLOUT, 0};
            ::poll(&descriptor, 1, 10);
        }
    }
    return done == bytes.size();
}

QByteArray PtyPair::read_available(int wait_ms)
{
    pollfd descriptor{master_fd, POLLIN, 0};
    if (master_fd < 0 || ::poll(&descriptor, 1, wait_ms) <= 0 || !(descriptor.revents & POLLIN))
        return QByteArray();
    char chunk[4096];
    const ssize_t n = ::read(master_fd, chunk, sizeof chunk);
    return n > 0 ? QByteArray(chunk, static_cast<int>(n)) : QByteArray();
}

void PtyPair::gather(QByteArray& bytes, int count, int wait_ms)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while ((count < 0 || bytes.size() < count) && elapsed.elapsed() < wait_ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        bytes.append(read_available(poll_slice_ms));
    }
}

QByteArray PtyPair::read_program_output(int count, int wait_ms, int settle_ms)
{
    QByteArray bytes;
    gather(bytes, count, wait_ms);
    gather(bytes, -1, settle_ms);
    return bytes;
}

void PtyPair::hang_up()
{
    if (master_fd >= 0)
        ::close(master_fd);
    master_fd = -1;
}
