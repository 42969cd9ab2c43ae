#include "servicelog/unit_record.h"

#include "servicelog/service_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

namespace unit_record
{

namespace
{

void insert_known(QJsonObject& object, const char* key, const QString& value)
{
    if (!value.isEmpty())
        object.insert(QLatin1String(key), value);
}

} // namespace

QString default_reports_path()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/reports.jsonl");
}

QJsonObject json_object(const UnitRecord& record)
{
    QJsonArray files;
    for (const auto& [name, size] : record.files)
        files.append(QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("size"), size}});
    QJsonObject object{
        {QStringLiteral("started"), iso_time(record.started)},
        {QStringLiteral("ended"), iso_time(record.ended)},
        {QStringLiteral("host"), record.host},
        {QStringLiteral("port"), record.port},
        {QStringLiteral("adapter_identity"), record.adapter_identity},
        {QStringLiteral("package_path"), record.package_path},
        {QStringLiteral("package_sha256"), QString::fromLatin1(record.package_sha256)},
        {QStringLiteral("files"), files},
        {QStringLiteral("end_text"), record.end_text},
        {QStringLiteral("end_class"), QLatin1String(bootloader_protocol::end_class_name(record.end_class))},
        {QStringLiteral("service_log"), record.service_log},
        {QStringLiteral("signature"), record.signature},
    };
    insert_known(object, "usb_serial", record.usb_serial);
    insert_known(object, "usb_vid_pid", record.usb_vid_pid);
    insert_known(object, "usb_description", record.usb_description);
    insert_known(object, "signature_key", record.signature_key);
    if (record.exit_code)
        object.insert(QStringLiteral("exit_code"), *record.exit_code);
    return object;
}

QByteArray json_line(const UnitRecord& record)
{
    return QJsonDocument(json_object(record)).toJson(QJsonDocument::Compact) + '\n';
}

bool append(const QString& reports_path, const UnitRecord& record, QString* why)
{
    const QString folder = QFileInfo(reports_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        *why = QStringLiteral("cannot create the folder %1").arg(QDir::toNativeSeparators(folder));
        return false;
    }
    // Unbuffered, so that the line is one write; with O_APPEND the system places each write whole at the
    // file's end, whoever else appends meanwhile.
    QFile file(reports_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        *why = file.errorString();
        return false;
    }
    const QByteArray line = json_line(record);
    const qint64 written = file.write(line);
    if (written == line.size())
        return true;
    *why = written < 0 ? file.errorString()
                       : QStringLiteral("the disk took %1 of the line's %2 bytes")
                             .arg(QString::number(written), QString::number(line.size()));
    // A cut line must not swallow the next unit's: end it, so that only this one fails to parse.
    if (written > 0)
        file.write("\n");
    return false;
}

} // namespace unit_record
