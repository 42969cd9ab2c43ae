#include "cli/json_events.h"

#include "cli/console.h"
#include "servicelog/service_log.h"

#include <QDateTime>
#include <QJsonDocument>

namespace json_events
{

QJsonObject event(const char* kind, const QString& port, const QString& device, const QString& text,
                  const UpdateEngine::Stage& stage)
{
    return {
        {QStringLiteral("time"), iso_time(QDateTime::currentDateTime())},
        {QStringLiteral("port"), port},
        {QStringLiteral("device"), device},
        {QStringLiteral("event"), QLatin1String(kind)},
        {QStringLiteral("text"), text},
        {QStringLiteral("progress"), stage.progress},
        {QStringLiteral("file"), stage.file},
        {QStringLiteral("files"), stage.files},
        {QStringLiteral("file_name"), stage.file_name},
    };
}

void print(const QJsonObject& event)
{
    console::write(stdout, QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n');
}

void print_refusal(const QString& port, const QString& text, int code, const QString& reason)
{
    QJsonObject refused = event("refused", port, QString(), text);
    refused.insert(QStringLiteral("exit_code"), code);
    if (!reason.isEmpty())
        refused.insert(QStringLiteral("reason"), reason);
    print(refused);
}

} // namespace json_events
