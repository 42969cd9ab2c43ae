#include "station/slot_rules.h"

#include "rules/firmware_rules.h"

namespace slot_rules
{

namespace
{

const QLatin1String location_form("loc:");
const QLatin1String serial_form("usb:");

// A port's name as the system lists it, "ttyUSB0" for "/dev/ttyUSB0" too.
QString plain_name(const QString& pin)
{
    return pin.startsWith(QLatin1String("/dev/")) ? pin.mid(5) : pin;
}

} // namespace

Found find(const QString& pin, const QList<PortIdentity>& ports)
{
    Found found;
    const bool by_location = pin.startsWith(location_form);
    const bool by_serial = pin.startsWith(serial_form);
    if (!by_location && !by_serial) {
        for (const PortIdentity& port : ports) {
            if (port.name == pin || port.system_location == pin || port.name == plain_name(pin)) {
                found.present = true;
                found.port = port;
                return found;
            }
        }
        found.port.name = pin;
        return found;
    }
    const QString value = pin.mid(4);
    QList<PortIdentity> matches;
    for (const PortIdentity& port : ports) {
        if (by_location ? port.usb_location == value
                        : !port.serial_number.isEmpty() && port.serial_number.compare(value, Qt::CaseInsensitive) == 0)
            matches.append(port);
    }
    if (matches.size() == 1) {
        found.present = true;
        found.port = matches.first();
    }
    for (int i = 0; matches.size() > 1 && i < matches.size(); ++i)
        found.several << matches.at(i).name;
    return found;
}

QString pin_refusal(const QString& pin)
{
    if ((pin.startsWith(location_form) || pin.startsWith(serial_form)) && pin.size() == 4)
        return QStringLiteral("Erro! Posição sem local ou número de série");
    // A kind of adapter is no slot: every adapter alike would be the same slot.
    if (pin.startsWith(QLatin1String("id:")))
        return QStringLiteral("Erro! Fixe a posição pelo local (loc:) ou pelo número de série (usb:)");
    return {};
}

int clash(const QString& pin, const QStringList& pins, int own, const QList<PortIdentity>& ports)
{
    const Found mine = find(pin, ports);
    for (int other = 0; other < pins.size(); ++other) {
        const QString& theirs = pins.at(other);
        if (other == own || theirs.isEmpty())
            continue;
        const bool serials = pin.startsWith(serial_form) && theirs.startsWith(serial_form);
        if (serials ? pin.compare(theirs, Qt::CaseInsensitive) == 0 : plain_name(pin) == plain_name(theirs))
            return other;
        const Found found = find(theirs, ports);
        if (mine.present && found.present &&
            (mine.port.name == found.port.name || port_catalog::same_adapter(mine.port, found.port)))
            return other;
    }
    return -1;
}

QString file_counter(const QString& file_name, int file, int files)
{
    if (file <= 0 || files <= 0)
        return {};
    const firmware_rules::BoardWord* board = firmware_rules::board_of(file_name);
    const QString numbers = QStringLiteral("%1 / %2").arg(file).arg(files);
    return board ? QLatin1String(board->word) + QLatin1Char(' ') + numbers : numbers;
}

QString time_left(int seconds)
{
    if (seconds < 0)
        return {};
    return QStringLiteral("≥ %1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

void Latch::ended(bool unit_passed, const QString& adapter_serial)
{
    held = true;
    passed = unit_passed;
    serial = adapter_serial;
    absent_since_ms = -1;
}

void Latch::seen(const PortIdentity* port, qint64 now_ms, int unplugged_ms)
{
    if (!held)
        return;
    // Judged whenever the slot is looked at: a unit gone long enough went, whatever stands there now.
    if (absent_since_ms >= 0 && now_ms - absent_since_ms >= unplugged_ms) {
        held = false;
        return;
    }
    if (!port) {
        if (absent_since_ms < 0)
            absent_since_ms = now_ms;
        return;
    }
    absent_since_ms = -1;
    // Another adapter serial at the same slot is another unit, however soon it came.
    held = port->serial_number.isEmpty() || serial.isEmpty() ||
           port->serial_number.compare(serial, Qt::CaseInsensitive) == 0;
}

} // namespace slot_rules
