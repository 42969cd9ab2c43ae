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
// Waking a thread takes time of its own: 50 to 100 us on the development machine, a few percent of
// a 3 ms pause. The pacer learns how late it wakes and asks to be woken that much early, then
// watches the clock for the rest, so the pause ends on time without a core kept busy for it.
constexpr qint64 most_lead_ns = 300 * 1000;
// The share of each new measurement in the learned lead: a few lines settle it, one slow wake
// does not throw it off.
constexpr int lead_smoothing = 8;
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
    arm(ns - lead_ns);
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
        itimerspec due{};
        const qint64 wait = active ? std::max<qint64>(ns, 1) : 0;
        due.it_value.tv_sec = static_cast<time_t>(wait / ns_per_s);
        due.it_value.tv_nsec = static_cast<long>(wait % ns_per_s);
        ::timerfd_settime(timer_fd, 0, &due, nullptr);
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
    if (left > lead_ns + most_lead_ns) {
        // Far too early (a timer that rounds, or the clock stepped): sleep again.
        arm(left - lead_ns);
        return;
    }
    // Woken early by the lead, as asked, or late: the lead moves toward what this wake needed.
    lead_ns = std::clamp<qint64>(lead_ns - left / lead_smoothing, 0, most_lead_ns);
    while (clock.nsecsElapsed() < due_ns) {
    }
    active = false;
    emit due();
}
