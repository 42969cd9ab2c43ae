#ifndef SLOT_RULES_H
#define SLOT_RULES_H

#include "link/port_catalog.h"

#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QStringList>

// What a bench's slots decide without a widget or a port: which listed port a slot is pinned to, two slots on one
// adapter, when a slot's unit may start by itself, and the row's short texts.
namespace slot_rules
{

constexpr int max_slots = 16;

// The port a slot's pin names among those listed: "loc:1-1.2" the adapter plugged there, "usb:A12345" the adapter
// with this serial number (letter case aside), anything else a port's name or path. A pin that matches several ports
// (clone adapters sharing one serial number) names none of them: a guess could start another slot's unit.
struct Found {
    bool present = false;
    PortIdentity port; // when present; for a name that is not listed, the name alone
    QStringList several;
};
Found find(const QString& pin, const QList<PortIdentity>& ports);

// Why a pin cannot be a slot's, in the operator's words; empty when it can.
QString pin_refusal(const QString& pin);

// The slot (from 0) of `pins` other than `own` that is pinned to the same adapter as `pin`: the same pin, or pins
// that name the same port or adapter among those listed now; -1 when none.
int clash(const QString& pin, const QStringList& pins, int own, const QList<PortIdentity>& ports);

// The file counter with the board's word from the file's name: "PV 2 / 6"; the numbers alone when the name holds
// none; empty before the first file.
QString file_counter(const QString& file_name, int file, int files);

// "≥ 1:05", the least time left as vkt-update shows it; empty when unknown (negative).
QString time_left(int seconds);

// Whether a slot's unit may start by itself. A unit that ended stays put until it has been unplugged, so a passed
// unit is never updated twice. Its own restart after the update drops its port for a moment, so a port gone for less
// than `unplugged_ms` still holds the same unit, unless it comes back with another adapter serial number.
class Latch
{
public:
    void ended(bool passed, const QString& adapter_serial);
    // The slot's port as found now (null when absent), at `now_ms` on a steady clock.
    void seen(const PortIdentity* port, qint64 now_ms, int unplugged_ms);
    bool holds_any() const { return held; }
    bool holds_passed() const { return held && passed; }

private:
    bool held = false;
    bool passed = false;
    QString serial;
    qint64 absent_since_ms = -1;
};

} // namespace slot_rules

#endif // SLOT_RULES_H
