#include "link/line_pacer.h"

#include <QSocketNotifier>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <sys/timerfd.h>
#include <unistd.h>
#endif

namespace
{
constexpr qint64 ns_per_ms = 1000 * 1000;
constexpr qint64 ns_per_s = 1000 * ns_per_ms;
} // namespace

LinePacer::LinePacer(QObject* parent) : QObject(parent)
{
    clock.start();
#ifdef Q_OS_LINUX
    timer_fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer_fd >= 0) {
        notifier = new QSocketNotifier(timer_fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] {
            quint64 expirations = 0;
            // Non-blocking: a pause stopped or restarted since has nothing to read.
            if (::read(timer_fd, &expirations, sizeof expirations) == static_cast<ssize_t>(sizeof expirations))
                fired();
        });
    }
#endif
    fallback.setSingleShot(true);
    fallback.setTimerType(Qt::PreciseTimer);
    connect(&fallback, &QTimer::timeout, this, &LinePacer::fired);
}

LinePacer::~LinePacer()
{
#ifdef Q_OS_LINUX
    if (timer_fd >= 0) {
        delete notifier;
        ::close(timer_fd);
    }
#endif
}

void LinePacer::start(int ms)
{
    start_ns(ms * ns_per_ms);
}

void LinePacer::start_ns(qint64 ns)
{
    active = true;
    due_ns = clock.nsecsElapsed() + ns;
    arm(ns);
}

void LinePacer::stop()
{
    active = false;
    arm(0);
}

void LinePacer::arm(qint64 ns)
{
#ifdef Q_OS_LINUX
    if (timer_fd >= 0) {
        // A zero time disarms; a pause of zero is asked for as one nanosecond.
        itimerspec spec{};
        const qint64 wait = active ? std::max<qint64>(ns, 1) : 0;
        spec.it_value.tv_sec = static_cast<time_t>(wait / ns_per_s);
        spec.it_value.tv_nsec = static_cast<long>(wait % ns_per_s);
        ::timerfd_settime(timer_fd, 0, &spec, nullptr);
        return;
    }
#endif
    if (!active) {
        fallback.stop();
        return;
    }
    fallback.start(static_cast<int>((ns + ns_per_ms - 1) / ns_per_ms));
}

void LinePacer::fired()
{
    if (!active)
        return;
    const qint64 left = due_ns - clock.nsecsElapsed();
    if (left > 0) {
        arm(left);
        return;
    }
    active = false;
    emit due();
}
