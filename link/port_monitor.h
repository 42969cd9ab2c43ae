#ifndef PORT_MONITOR_H
#define PORT_MONITOR_H

#include "link/port_catalog.h"

#include <QList>
#include <QObject>
#include <QString>

#include <memory>

// Tells when a serial port appears or goes, for a front end that starts units by themselves. Where the system says
// so as it happens (Linux, with libudev and its daemon running), the catalog is read once per notice; elsewhere it is
// read every interval, as the window's port list does, but on a thread of its own. Either way ports() is the catalog
// as last read.
class PortMonitor : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The system's ports, noticed through udev where it runs, else polled at PortWatcher's interval on a thread of its
    // own. The catalog is read from that thread and must outlive the monitor.
    static std::unique_ptr<PortMonitor> system(const PortCatalog& catalog);
    // The catalog read every poll_ms on the caller's thread: for the tests' catalogs of their own.
    static std::unique_ptr<PortMonitor> polled(const PortCatalog& catalog, int poll_ms);

    virtual const QList<PortIdentity>& ports() const = 0;
    // How ports are noticed, for the benchmark: "udev" or "poll 1000 ms".
    virtual QString how() const = 0;

signals:
    // Only when a port came, went, or changed identity under its name; in name order.
    void changed(const QList<PortIdentity>& ports);
};

#endif // PORT_MONITOR_H
