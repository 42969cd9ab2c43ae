#ifndef UNIT_RECORD_H
#define UNIT_RECORD_H

#include "rules/bootloader_protocol.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QSysInfo>

#include <optional>

// One unit served, for the reports file: enough to tie a unit in the field to the package it got, the adapter
// and bench that sent it and the service log that traced it.
struct UnitRecord {
    QDateTime started;
    QDateTime ended;
    QString host = QSysInfo::machineHostName();
    QString port;
    // The port's USB adapter, each empty when unknown or when the port is not USB.
    QString usb_serial;
    QString usb_vid_pid; // "0403:6001"
    QString usb_description;
    // The adapter's identity as it was found (what the operator picked or the command line named).
    QString adapter_identity;
    QString package_path;
    QByteArray package_sha256;           // hex
    QList<QPair<QString, qint64>> files; // name and size in bytes
    QString end_text;
    // Written as its stable word (bootloader_protocol::end_class_name), which scripts may match.
    bootloader_protocol::EndClass end_class = bootloader_protocol::EndClass::stopped;
    std::optional<int> exit_code;
    QString service_log;
    // The package's signature: "none", "unreadable", "unchecked" (no key installed to check it) or "verified", and
    // the key that made it, as minisign prints it; empty when none could be read.
    QString signature = QStringLiteral("none");
    QString signature_key;
};

namespace unit_record
{

// <AppLocalDataLocation>/reports.jsonl, beside the service-log folder.
QString default_reports_path();

// The record as a JSON object, the reports file's fields; the history adds its own beside them.
QJsonObject json_object(const UnitRecord& record);
// The record as one line of compact JSON, its newline included.
QByteArray json_line(const UnitRecord& record);

// Appends the record's line to the reports file, creating it and its folder as needed. Units of one process and
// of several may append at once: each line goes whole in one write to a file opened for appending. False, and
// why, when the line could not be written.
bool append(const QString& reports_path, const UnitRecord& record, QString* why);

} // namespace unit_record

#endif // UNIT_RECORD_H
