#ifndef PORT_ACCESS_H
#define PORT_ACCESS_H

#include <QString>

// The serial module refuses a port held by another program and a port this user may not open with
// the same error. The device file tells them apart: only a refusal on a file the user may not read
// and write is a permission problem, and its fix is the group that owns the device.
namespace port_access
{

struct Device {
    // The device file exists and this user may not both read and write it.
    bool denied = false;
    // The group that owns the device, as the system names it; empty when it has no name.
    QString group;
    // There is such a device; a Windows port name is no file, and is taken to exist.
    bool exists = true;
};

// The device behind a port name, as this process sees it now.
Device inspect(const QString& port_name);

// What the operator reads after the port did not open: `refused` when the system said the port
// is taken or forbidden, otherwise it failed for another reason (no such port, not a serial port).
QString refusal_notice(const Device& device, bool refused);

} // namespace port_access

#endif // PORT_ACCESS_H
