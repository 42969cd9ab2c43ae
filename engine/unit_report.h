#ifndef UNIT_REPORT_H
#define UNIT_REPORT_H

#include "engine/update_engine.h"
#include "servicelog/unit_record.h"

// The record of one unit's update for the reports file, built the same way by the window and the command line.
namespace unit_report
{

// What the engine kept of the run that just ended, ended now, with the adapter the engine opened. `port` is the port
// as the operator named it (a name, a path, "usb:A12345"); the caller adds an exit code where there is one.
UnitRecord record_of(const UpdateEngine& engine, const QString& port, bootloader_protocol::EndClass end,
                     const QString& text);

} // namespace unit_report

#endif // UNIT_REPORT_H
