#include "link/port_monitor.h"

#include <QThread>
#include <QTimer>

#ifdef Q_OS_LINUX
#ifdef VKT_HAVE_UDEV
#include <QFileInfo>
#include <QSocketNotifier>

#include <libudev.h>
#endif
#endif

namespace
{

class PolledMonitor : public PortMonitor
{
public:
    PolledMonitor(const PortCatalog& catalog, int poll_ms) : watcher(catalog), interval_ms(poll_ms)
    {
        connect(&watcher, &PortWatcher::changed, this, &PortMonitor::changed);
        watcher.start(poll_ms);
    }
    const QList<PortIdentity>& ports() const override { return watcher.ports(); }
    QString how() const override { return QStringLiteral("poll %1 ms").arg(interval_ms); }

private:
    PortWatcher watcher;
    int interval_ms;
};

// The system's list read on a thread of its own: one enumeration reads thousands of sysfs files, 3.5 ms of processor
// on an idle machine and 30 ms and more on a busy one (bench/station_bench), which on the window's thread would hold
// up every unit's next line.
class ThreadedPollMonitor : public PortMonitor
{
public:
    ThreadedPollMonitor(const PortCatalog& catalog, int poll_ms) : interval_ms(poll_ms)
    {
        seen = port_catalog::sorted(catalog.ports());
        auto* timer = new QTimer;
        timer->setInterval(poll_ms);
        timer->moveToThread(&thread);
        connect(&thread, &QThread::started, timer, qOverload<>(&QTimer::start));
        connect(&thread, &QThread::finished, timer, &QObject::deleteLater);
        connect(timer, &QTimer::timeout, timer, [this, &catalog] {
            const QList<PortIdentity> now = port_catalog::sorted(catalog.ports());
            QMetaObject::invokeMethod(
                this, [this, now] { take(now); }, Qt::QueuedConnection);
        });
        thread.start();
    }
    ~ThreadedPollMonitor() override
    {
        thread.quit();
        thread.wait();
    }
    const QList<PortIdentity>& ports() const override { return seen; }
    QString how() const override { return QStringLiteral("poll %1 ms, on a thread of its own").arg(interval_ms); }

private:
    void take(const QList<PortIdentity>& now)
    {
        if (now == seen)
            return;
        seen = now;
        emit changed(seen);
    }

    QThread thread;
    QList<PortIdentity> seen;
    int interval_ms;
};

#ifdef Q_OS_LINUX
#ifdef VKT_HAVE_UDEV
// The udev daemon announces a tty once its device node exists and its rules ran, so the catalog read then already
// lists it. Without the daemon (a container, an early boot) the kernel's own events come before the node, and
// nobody announces through the udev socket at all: the poll serves there.
class UdevMonitor : public PortMonitor
{
public:
    static std::unique_ptr<PortMonitor> create(const PortCatalog& catalog)
    {
        if (!QFileInfo::exists(QStringLiteral("/run/udev/control")))
            return nullptr;
        std::unique_ptr<UdevMonitor> monitor(new UdevMonitor(catalog));
        return monitor->notifier ? std::move(monitor) : nullptr;
    }
    ~UdevMonitor() override
    {
        delete notifier;
        if (monitor)
            udev_monitor_unref(monitor);
        if (context)
            udev_unref(context);
    }
    const QList<PortIdentity>& ports() const override { return seen; }
    QString how() const override { return QStringLiteral("udev"); }

private:
    explicit UdevMonitor(const PortCatalog& catalog) : catalog(catalog)
    {
        context = udev_new();
        monitor = context ? udev_monitor_new_from_netlink(context, "udev") : nullptr;
        if (!monitor || udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) < 0 ||
            udev_monitor_enable_receiving(monitor) < 0)
            return;
        // Read after the socket listens, so that a port plugged in between is in one or the other.
        seen = port_catalog::sorted(catalog.ports());
        notifier = new QSocketNotifier(udev_monitor_get_fd(monitor), QSocketNotifier::Read);
        connect(notifier, &QSocketNotifier::activated, this, &UdevMonitor::notified);
    }

    void notified()
    {
        // The socket does not block: every notice waiting is taken, and the list read once for all of them.
        while (udev_device* device = udev_monitor_receive_device(monitor))
            udev_device_unref(device);
        QList<PortIdentity> now = port_catalog::sorted(catalog.ports());
        if (now == seen)
            return;
        seen = std::move(now);
        emit changed(seen);
    }

    const PortCatalog& catalog;
    udev* context = nullptr;
    udev_monitor* monitor = nullptr;
    QSocketNotifier* notifier = nullptr;
    QList<PortIdentity> seen;
};
#endif
#endif

} // namespace

std::unique_ptr<PortMonitor> PortMonitor::system(const PortCatalog& catalog)
{
#ifdef Q_OS_LINUX
#ifdef VKT_HAVE_UDEV
    if (std::unique_ptr<PortMonitor> udev = UdevMonitor::create(catalog))
        return udev;
#endif
#endif
    return std::make_unique<ThreadedPollMonitor>(catalog, PortWatcher::default_interval_ms);
}

std::unique_ptr<PortMonitor> PortMonitor::polled(const PortCatalog& catalog, int poll_ms)
{
    return std::make_unique<PolledMonitor>(catalog, poll_ms);
}
