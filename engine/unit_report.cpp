#include "engine/unit_report.h"

#include <QSerialPortInfo>

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

// The port as the system lists it, by the name the port box takes or by its path.
QSerialPortInfo adapter_of(const QString& port)
{
    const QList<QSerialPortInfo> listed = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : listed) {
        if (info.portName() == port || info.systemLocation() == port)
            return info;
    }
    return QSerialPortInfo();
}

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
    record.port = port;
    record.adapter_identity = port;
    // A port the system does not list (a pseudo-terminal, a path of the operator's) has no adapter to name.
    const QSerialPortInfo adapter = adapter_of(port);
    if (!adapter.isNull()) {
        record.usb_serial = adapter.serialNumber();
        record.usb_description = adapter.description();
        if (adapter.hasVendorIdentifier() && adapter.hasProductIdentifier())
            record.usb_vid_pid = QStringLiteral("%1:%2")
                                     .arg(adapter.vendorIdentifier(), 4, 16, QLatin1Char('0'))
                                     .arg(adapter.productIdentifier(), 4, 16, QLatin1Char('0'));
    }
    record.package_path = engine.package();
    record.package_sha256 = engine.package_sha256();
    record.files = engine.package_file_list();
    record.end_text = text;
    record.end_class = unit_end(end);
    record.service_log = engine.service_log_file();
    return record;
}

} // namespace unit_report
