#include "link/port_catalog.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

#include <algorithm>
#include <utility>

namespace
{

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

bool has_identity(const PortIdentity& port)
{
    return !port.serial_number.isEmpty() || (port.vendor_id != 0 && !port.usb_location.isEmpty());
}

// "ttyUSB10" as ("ttyUSB", "10"): port names end in their number.
std::pair<QString, QString> split_number(const QString& name)
{
    int start = name.size();
    while (start > 0 && name.at(start - 1).isDigit())
        --start;
    return {name.left(start), name.mid(start)};
}

bool name_before(const PortIdentity& a, const PortIdentity& b)
{
    const auto [a_stem, a_number] = split_number(a.name);
    const auto [b_stem, b_number] = split_number(b.name);
    if (a_stem != b_stem)
        return a_stem < b_stem;
    if (a_number.size() != b_number.size())
        return a_number.size() < b_number.size();
    return a_number < b_number;
}

// One way the command line names a port by what it is rather than by where it is now.
struct NamingForm {
    const char* prefix;
    const char* what;
    QString (*field)(const PortIdentity& port);
};

const NamingForm naming_forms[] = {
    {"usb:", "USB serial", [](const PortIdentity& port) { return port.serial_number; }},
    {"loc:", "USB location", [](const PortIdentity& port) { return port.usb_location; }},
    {"id:", "VID:PID", [](const PortIdentity& port) { return port.vid_pid(); }},
};

QString one_field(QString text)
{
    return text.replace(QLatin1Char('\t'), QLatin1Char(' '))
        .replace(QLatin1Char('\n'), QLatin1Char(' '))
        .replace(QLatin1Char('\r'), QLatin1Char(' '));
}

} // namespace

QString PortIdentity::vid_pid() const
{
    if (vendor_id == 0)
        return {};
    return hex4(vendor_id) + QLatin1Char(':') + hex4(product_id);
}

QString PortIdentity::describe() const
{
    QStringList parts;
    if (!description.isEmpty() || !manufacturer.isEmpty())
        parts << (description.isEmpty() ? manufacturer : description);
    if (!serial_number.isEmpty())
        parts << QStringLiteral("serial ") + serial_number;
    if (vendor_id != 0)
        parts << vid_pid();
    if (!usb_location.isEmpty())
        parts << QStringLiteral("usb ") + usb_location;
    return parts.join(QStringLiteral(", "));
}

bool PortIdentity::operator==(const PortIdentity& other) const
{
    return name == other.name && system_location == other.system_location && description == other.description &&
           manufacturer == other.manufacturer && serial_number == other.serial_number && vendor_id == other.vendor_id &&
           product_id == other.product_id && usb_location == other.usb_location;
}

QList<PortIdentity> SystemPortCatalog::ports() const
{
    QList<PortIdentity> all;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        all.append(port_catalog::identity_of(info));
    return port_catalog::sorted(all);
}

PortIdentity port_catalog::identity_of(const QSerialPortInfo& info)
{
    PortIdentity port;
    port.name = info.portName();
    port.system_location = info.systemLocation();
    port.description = info.description();
    port.manufacturer = info.manufacturer();
    port.serial_number = info.serialNumber();
    if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
        port.vendor_id = info.vendorIdentifier();
        port.product_id = info.productIdentifier();
    }
    port.usb_location = usb_location(info.portName());
    return port;
}

QString port_catalog::usb_location(const QString& port_name, const QString& sysfs_root)
{
#ifdef Q_OS_LINUX
    // A CDC ACM adapter's tty device is the USB interface itself (".../1-1.2/1-1.2:1.0"); the USB
    // serial drivers put a port of their own below it (".../1-1.2:1.0/ttyUSB0"). The nearest
    // interface up the path names the socket. A serial port on the board has none: its device
    // ("00:00:0.0" under pnp0) has a colon too, but no bus-port path before it.
    static const QRegularExpression interface(QStringLiteral("^(\\d+-\\d+(?:\\.\\d+)*):\\d+\\.\\d+$"));
    const QString device = QFileInfo(sysfs_root + QStringLiteral("/class/tty/") + port_name + QStringLiteral("/device"))
                               .canonicalFilePath();
    const QStringList steps = device.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (auto step = steps.crbegin(); step != steps.crend(); ++step) {
        const QRegularExpressionMatch match = interface.match(*step);
        if (match.hasMatch())
            return match.captured(1);
    }
    return {};
#else
    // Elsewhere the serial number alone identifies an adapter.
    Q_UNUSED(port_name)
    Q_UNUSED(sysfs_root)
    return {};
#endif
}

QList<PortIdentity> port_catalog::sorted(QList<PortIdentity> ports)
{
    std::stable_sort(ports.begin(), ports.end(), name_before);
    return ports;
}

PortIdentity port_catalog::lookup(const QString& name, const QList<PortIdentity>& ports)
{
    for (const PortIdentity& port : ports) {
        if (port.name == name || port.system_location == name)
            return port;
    }
    PortIdentity unlisted;
    unlisted.name = name;
    return unlisted;
}

bool port_catalog::same_adapter(const PortIdentity& a, const PortIdentity& b)
{
    const bool both_located = !a.usb_location.isEmpty() && !b.usb_location.isEmpty();
    // Some clone adapter chips all carry one serial number, so two sockets are two adapters
    // whatever they say.
    if (both_located && a.usb_location != b.usb_location)
        return false;
    if (!a.serial_number.isEmpty() && !b.serial_number.isEmpty())
        return a.serial_number == b.serial_number;
    return both_located && a.vendor_id != 0 && a.vid_pid() == b.vid_pid();
}

port_catalog::FoundAgain port_catalog::find_again(const PortIdentity& before, const QList<PortIdentity>& now)
{
    FoundAgain result;
    if (!has_identity(before))
        return result;
    QList<PortIdentity> alike;
    for (const PortIdentity& port : now) {
        if (!same_adapter(before, port))
            continue;
        if (port.name == before.name) {
            result.outcome = FoundAgain::Outcome::found;
            result.port = port;
            return result;
        }
        alike.append(port);
    }
    if (alike.size() == 1) {
        result.outcome = FoundAgain::Outcome::found;
        result.port = alike.first();
    } else if (alike.isEmpty()) {
        result.outcome = FoundAgain::Outcome::absent;
    } else {
        result.outcome = FoundAgain::Outcome::ambiguous;
        for (const PortIdentity& port : alike)
            result.candidates << port.name;
    }
    return result;
}

port_catalog::Resolved port_catalog::resolve(const QString& given, const PortCatalog& catalog)
{
    if (given.isEmpty())
        return {{}, QStringLiteral("no port given")};
    for (const NamingForm& form : naming_forms) {
        const QLatin1String prefix(form.prefix);
        if (!given.startsWith(prefix))
            continue;
        const QString value = given.mid(prefix.size());
        const QString what = QLatin1String(form.what);
        if (value.isEmpty())
            return {{}, QStringLiteral("%1 names no %2").arg(prefix, what)};
        QStringList names;
        for (const PortIdentity& port : catalog.ports()) {
            const QString field = form.field(port);
            if (!field.isEmpty() && field.compare(value, Qt::CaseInsensitive) == 0)
                names << port.name;
        }
        if (names.isEmpty())
            return {{}, QStringLiteral("no port with %1 %2").arg(what, value)};
        if (names.size() > 1)
            return {{},
                    QStringLiteral("several ports with %1 %2: %3").arg(what, value, names.join(QStringLiteral(", ")))};
        return {names.first(), {}};
    }
    return {given, {}};
}

QStringList port_catalog::listing(const QList<PortIdentity>& ports)
{
    int width = 0;
    for (const PortIdentity& port : ports)
        width = std::max(width, port.name.size());
    QStringList lines;
    for (const PortIdentity& port : ports)
        lines << (port.name.leftJustified(width) + QStringLiteral("  ") + port.describe()).trimmed();
    return lines;
}

QStringList port_catalog::machine_listing(const QList<PortIdentity>& ports)
{
    QStringList lines;
    for (const PortIdentity& port : ports) {
        const QStringList fields = {port.name,         port.system_location, port.serial_number, port.vid_pid(),
                                    port.usb_location, port.manufacturer,    port.description};
        QStringList clean;
        for (const QString& field : fields)
            clean << one_field(field);
        lines << clean.join(QLatin1Char('\t'));
    }
    return lines;
}

PortWatcher::PortWatcher(const PortCatalog& catalog, QObject* parent) : QObject(parent), catalog(catalog)
{
    qRegisterMetaType<QList<PortIdentity>>();
    connect(&timer, &QTimer::timeout, this, &PortWatcher::scan);
}

void PortWatcher::start(int interval_ms)
{
    seen = port_catalog::sorted(catalog.ports());
    timer.start(interval_ms);
}

void PortWatcher::stop()
{
    timer.stop();
}

void PortWatcher::scan()
{
    QList<PortIdentity> now = port_catalog::sorted(catalog.ports());
    if (now == seen)
        return;
    seen = std::move(now);
    emit changed(seen);
}
