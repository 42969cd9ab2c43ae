#include "engine/unit_report.h"

namespace unit_report
{

namespace
{

using bootloader_protocol::EndClass;

struct EndRow {
    EndClass end;
    UnitEnd unit;
};

// The engine's classes and the record's words are kept apart, since the record is read by scripts for years.
const EndRow end_rows[] = {
    {EndClass::success, UnitEnd::success},     {EndClass::device_failure, UnitEnd::device_failure},
    {EndClass::timeout, UnitEnd::timeout},     {EndClass::unexpected_answer, UnitEnd::unexpected_answer},
    {EndClass::link_lost, UnitEnd::link_lost}, {EndClass::package_unusable, UnitEnd::package_unusable},
    {EndClass::stopped, UnitEnd::stopped},
};

} // namespace

UnitEnd unit_end(EndClass end)
{
    for (const EndRow& row : end_rows) {
        if (row.end == end)
            return row.unit;
    }
    return UnitEnd::stopped;
}

UnitRecord record_of(const UpdateEngine& engine, const QString& port, EndClass end, const QString& text)
{
    UnitRecord record;
    record.started = engine.started_at();
    record.ended = QDateTime::currentDateTime();
    const PortIdentity& adapter = engine.adapter();
    // Where the unit ended: a unit found again after a restart may have come back under another name.
    record.port = adapter.name.isEmpty() ? port : adapter.name;
    record.adapter_identity = port;
    record.usb_serial = adapter.serial_number;
    record.usb_vid_pid = adapter.vid_pid();
    record.usb_description = adapter.description;
    record.package_path = engine.package();
    record.package_sha256 = engine.package_sha256();
    record.files = engine.package_file_list();
    // A whole package ends in the log's own words; what the operator read last was the success text.
    record.end_text = end == EndClass::success ? QString::fromUtf8(bootloader_protocol::success_status) : text;
    record.end_class = unit_end(end);
    record.service_log = engine.service_log_file();
    return record;
}

} // namespace unit_report
