#ifndef PORT_CATALOG_H
#define PORT_CATALOG_H

#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <optional>

class QSerialPortInfo;

// A USB serial adapter may come back under another name after its unit resets (ttyACM0 becomes
// ttyACM1), and a station with several identical adapters cannot tell them apart by name. A port's
// identity is what the adapter says of itself and where it is plugged; the name is only where it
// is today.
struct PortIdentity {
    QString name;            // as the port box and QSerialPort take it: "ttyUSB0", "COM3", or a path
    QString system_location; // "/dev/ttyUSB0"
    QString description;
    QString manufacturer;
    QString serial_number; // the adapter's USB serial number; empty when it has none
    // The USB-IF assigns no vendor 0, so 0 means unknown, for the pair.
    quint16 vendor_id = 0;
    quint16 product_id = 0;
    // The USB topology path ("1-1.2": bus 1, port 1 of the root hub, port 2 of the hub behind it),
    // which stays with the socket; empty when unknown or not USB.
    QString usb_location;

    // "0403:6001"; empty when unknown.
    QString vid_pid() const;
    // One line for lists and tooltips: "FT232R USB UART, serial A12345, 0403:6001, usb 1-1.2".
    QString describe() const;

    bool operator==(const PortIdentity& other) const;
    bool operator!=(const PortIdentity& other) const { return !(*this == other); }
};

Q_DECLARE_METATYPE(PortIdentity)

// Where the ports are enumerated, so that tests can list pseudo-terminals as adapters.
class PortCatalog
{
public:
    virtual ~PortCatalog() = default;
    virtual QList<PortIdentity> ports() const = 0;
};

// The system's serial ports in name order (ttyUSB2 before ttyUSB10). Pseudo-terminals are not
// listed: a path the operator types is opened as given.
class SystemPortCatalog : public PortCatalog
{
public:
    QList<PortIdentity> ports() const override;
};

namespace port_catalog
{

PortIdentity identity_of(const QSerialPortInfo& info);

// The USB location of a tty from sysfs (Linux); empty elsewhere, and for a port that is not USB.
QString usb_location(const QString& port_name, const QString& sysfs_root = QStringLiteral("/sys"));

// In name order, numbers by value.
QList<PortIdentity> sorted(QList<PortIdentity> ports);

// The port as listed, by its name or system location ("ttyUSB0" or "/dev/ttyUSB0"), or one that
// carries the name alone and no identity when it is not listed (a pseudo-terminal).
PortIdentity lookup(const QString& name, const QList<PortIdentity>& ports);

// True only when the two are known to be the same adapter: the same USB serial number when both
// have one, otherwise the same VID:PID at the same USB location. Two known locations that differ
// are two adapters whatever their serial numbers say. A port without either is nobody.
bool same_adapter(const PortIdentity& a, const PortIdentity& b);

struct FoundAgain {
    enum class Outcome {
        found,        // port is the adapter, under its old name when it still has it
        unidentified, // the port had no identity to look for
        absent,       // no port listed now is that adapter (not back yet, or gone)
        ambiguous,    // several ports listed now could be it, none under the old name
    };
    Outcome outcome = Outcome::unidentified;
    std::optional<PortIdentity> port; // only when found
    QStringList candidates;           // when ambiguous, their names
};

// The port of `now` that is the adapter `before` was on. Anything but found leaves the caller with
// the old name only: a guess could open another unit's port.
FoundAgain find_again(const PortIdentity& before, const QList<PortIdentity>& now);

struct Resolved {
    QString name;  // the port to open; empty on error
    QString error; // for the command line, when name is empty
};

// A port as the command line names it:
//   usb:SERIAL   the adapter with this USB serial number (letter case aside)
//   loc:PATH     the adapter plugged at this USB location ("loc:1-1.2")
//   id:VID:PID   the one adapter of this kind ("id:0403:6001"); refused when there are several
//   otherwise    a port name or a path, taken as given (pseudo-terminals are never listed)
Resolved resolve(const QString& given, const PortCatalog& catalog);

// For people: the name, padded to the longest, then describe().
QStringList listing(const QList<PortIdentity>& ports);
// For scripts: one line per port, tab-separated, an empty field when unknown, in this order and
// only ever extended at the end: name, system location, USB serial number, VID:PID, USB location,
// manufacturer, description.
QStringList machine_listing(const QList<PortIdentity>& ports);

} // namespace port_catalog

// Tells the window when a port was plugged or unplugged. Qt 5 has no hot-plug notification for
// serial ports on any system, so the catalog is polled: one enumeration per interval on the
// caller's thread.
class PortWatcher : public QObject
{
    Q_OBJECT
public:
    // A plug shows within a second, which is what a person looking at the list expects. One
    // enumeration reads a few thousand sysfs files, about 3.5 ms of processor on a machine with 68
    // tty devices (bench/port_catalog_bench), so this is about 0.35 % of the thread; stop the
    // watcher while a run paces its lines.
    static constexpr int default_interval_ms = 1000;

    explicit PortWatcher(const PortCatalog& catalog, QObject* parent = nullptr);

    // Takes the list as it is now without a signal; ports() holds it.
    void start(int interval_ms = default_interval_ms);
    void stop();
    // One enumeration now, as each interval does; for a "scan" button too.
    void scan();
    const QList<PortIdentity>& ports() const { return seen; }

signals:
    // Only when a port came, went, or changed identity under its name; in name order.
    void changed(const QList<PortIdentity>& ports);

private:
    const PortCatalog& catalog;
    QList<PortIdentity> seen;
    QTimer timer;
};

#endif // PORT_CATALOG_H
