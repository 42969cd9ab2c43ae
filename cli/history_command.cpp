#include "cli/history_command.h"

#include "rules/package_rules.h"
#include "servicelog/service_log.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVector>

#include <algorithm>

namespace history_command
{

namespace
{

// The CSV's columns, the JSON record's field names, in the order a spreadsheet shows them.
const char* const csv_columns[] = {
    "id",           "started",          "ended",
    "end_class",    "end_text",         "exit_code",
    "host",         "os_user",          "program_version",
    "port",         "adapter_identity", "usb_serial",
    "usb_vid_pid",  "usb_description",  "unit_serial",
    "package_path", "package_sha256",   "files",
    "file_results", "service_log",      "hook",
};

// RFC 4180: a field with a comma, a quote or a line end is quoted, its quotes doubled.
QString csv_field(const QJsonValue& value)
{
    QString text = value.isArray()    ? QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact))
                   : value.isDouble() ? QString::number(static_cast<qint64>(value.toDouble()))
                                      : value.toString();
    if (text.contains(QLatin1Char(',')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\n')) ||
        text.contains(QLatin1Char('\r')))
        text = QLatin1Char('"') + text.replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
    return text;
}

QByteArray csv(const QList<HistoryRow>& rows)
{
    QStringList header;
    for (const char* column : csv_columns)
        header << QLatin1String(column);
    QByteArray out = header.join(QLatin1Char(',')).toUtf8() + "\r\n";
    for (const HistoryRow& row : rows) {
        const QJsonObject object = UnitHistory::json_object(row);
        QStringList fields;
        for (const char* column : csv_columns)
            fields << csv_field(object.value(QLatin1String(column)));
        out += fields.join(QLatin1Char(',')).toUtf8() + "\r\n";
    }
    return out;
}

// A line per unit, the columns a person looks for first; --csv and --json give every field.
QByteArray table(const QList<HistoryRow>& rows)
{
    QList<QStringList> lines{{QStringLiteral("started"), QStringLiteral("end"), QStringLiteral("port"),
                              QStringLiteral("adapter"), QStringLiteral("unit"), QStringLiteral("package"),
                              QStringLiteral("text")}};
    for (const HistoryRow& row : rows) {
        const UnitRecord& r = row.record;
        const QJsonObject object = UnitHistory::json_object(row);
        lines.append({r.started.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                      object.value(QStringLiteral("end_class")).toString(), r.port, r.usb_serial, row.unit_serial,
                      package_rules::file_name(r.package_path), r.end_text});
    }
    QVector<int> widths(lines.first().size(), 0);
    for (const QStringList& line : lines) {
        for (int i = 0; i < line.size(); ++i)
            widths[i] = std::max(widths.at(i), static_cast<int>(line.at(i).size()));
    }
    QByteArray out;
    for (const QStringList& line : lines) {
        QString text;
        for (int i = 0; i < line.size(); ++i)
            text += i + 1 < line.size() ? line.at(i).leftJustified(widths.at(i) + 2) : line.at(i);
        out += text.trimmed().toUtf8() + '\n';
    }
    return out;
}

} // namespace

QDateTime parse_time(const QString& text, bool until)
{
    const QDate day = QDate::fromString(text, Qt::ISODate);
    if (day.isValid() && text.size() == 10)
        return until ? QDateTime(day.addDays(1), QTime(0, 0)).addMSecs(-1) : QDateTime(day, QTime(0, 0));
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (time.isValid() && until && time.time().second() == 0 && text.size() == 16)
        time = time.addSecs(60).addMSecs(-1);
    return time;
}

QByteArray render(const QList<HistoryRow>& rows, Format format)
{
    if (format == Format::csv)
        return csv(rows);
    if (format == Format::table)
        return table(rows);
    QByteArray out;
    for (const HistoryRow& row : rows)
        out += QJsonDocument(UnitHistory::json_object(row)).toJson(QJsonDocument::Compact) + '\n';
    return out;
}

} // namespace history_command
