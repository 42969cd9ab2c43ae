#include "engine/unit_report.h"

namespace unit_report
{

UnitRecord record_of(const UpdateEngine& engine, const QString& port, bootloader_protocol::EndClass end,
                     const QString& text)
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
    record.signature = package_trust::state_word(engine.package_signature().state);
    record.signature_key = engine.package_signature().key_id;
    record.end_text = text;
    record.end_class = end;
    record.service_log = engine.service_log_file();
    return record;
}

} // namespace unit_report
