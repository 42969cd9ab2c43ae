#include "cli/run_history.h"

#include "cli/console.h"
#include "engine/unit_ledger.h"
#include "rules/package_rules.h"

#include <QJsonDocument>
#include <QProcess>
#include <QTimer>

namespace
{

// What a command learns without reading its input.
struct HookVariable {
    const char* name;
    const char* field;
};
const HookVariable hook_variables[] = {
    {"VKT_HISTORY_ID", "id"},           {"VKT_PORT", "port"},           {"VKT_UNIT_SERIAL", "unit_serial"},
    {"VKT_END_CLASS", "end_class"},     {"VKT_EXIT_CODE", "exit_code"}, {"VKT_PACKAGE_SHA256", "package_sha256"},
    {"VKT_SERVICE_LOG", "service_log"},
};
const char* const hook_ok = "ok";

void tell(const QString& text)
{
    console::write_line(stderr, QStringLiteral("vkt-update: %1").arg(text));
}

} // namespace

RunHistory::RunHistory(const Options& run_options, QObject* parent) : QObject(parent), options(run_options)
{
    connect(&history, &UnitHistory::warning, this, &tell);
    history.open(options.database);
}

RunHistory::~RunHistory() = default;

void RunHistory::follow(UpdateEngine& engine, const QString& named_port, const QString& unit_serial)
{
    auto* ledger = new UnitLedger(engine, history, named_port, this);
    ledger->set_unit_serial(unit_serial);
    ledgers.insert(&engine, ledger);
    unit_serials.insert(&engine, unit_serial);
}

QString RunHistory::seen_before(const UpdateEngine& engine, const QString& package)
{
    // Only the unit's own serial says it is the same unit: the adapter's may be the bench's cable.
    const QString serial = unit_serials.value(&engine);
    if (serial.isEmpty())
        return QString();
    if (package_sha256.isEmpty())
        package_sha256 = package_rules::sha256_hex(package);
    const std::optional<HistoryRow> seen = history.last_success(serial, package_sha256);
    if (!seen)
        return QString();
    return QStringLiteral("warning: unit %1 was already updated with this package on %2 (port %3, host %4); it is "
                          "updated again")
        .arg(serial, iso_time(seen->record.started), seen->record.port, seen->record.host);
}

void RunHistory::unit_ended(const UpdateEngine& engine, const UnitRecord& record)
{
    UnitLedger* ledger = ledgers.value(&engine);
    if (!ledger)
        return;
    ++pending;
    ledger->close(record, [this](const HistoryRow& row) {
        if (options.on_unit_end.isEmpty())
            --pending;
        else
            run_hook(row);
    });
}

void RunHistory::run_hook(const HistoryRow& row)
{
    QStringList words = QProcess::splitCommand(options.on_unit_end);
    auto* process = new QProcess(this);
    const QJsonObject record = UnitHistory::json_object(row);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const HookVariable& variable : hook_variables) {
        const QJsonValue value = record.value(QLatin1String(variable.field));
        environment.insert(QLatin1String(variable.name), value.isDouble()
                                                             ? QString::number(static_cast<qint64>(value.toDouble()))
                                                             : value.toString());
    }
    process->setProcessEnvironment(environment);
    // Its output must not mix into ours (a JSON stream on stdout): it is shown only when the command fails.
    process->setProcessChannelMode(QProcess::MergedChannels);
    auto* bound = new QTimer(process);
    bound->setSingleShot(true);
    connect(bound, &QTimer::timeout, process, [process] { process->kill(); });
    connect(process, &QProcess::errorOccurred, this, [this, process, row](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        hook_done(row, QStringLiteral("could not start: %1").arg(process->errorString()), QByteArray());
        process->deleteLater();
    });
    connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this, process, bound, row](int code, QProcess::ExitStatus status) {
                const QString result = !bound->isActive()
                                           ? QStringLiteral("killed after %1 s").arg(options.hook_bound_ms / 1000.0)
                                       : status == QProcess::CrashExit ? QStringLiteral("crashed")
                                       : code != 0                     ? QStringLiteral("exit status %1").arg(code)
                                                                       : QLatin1String(hook_ok);
                hook_done(row, result, process->readAll());
                process->deleteLater();
            });
    if (words.isEmpty()) {
        hook_done(row, QStringLiteral("could not start: the command is empty"), QByteArray());
        process->deleteLater();
        return;
    }
    const QString program = words.takeFirst();
    bound->start(options.hook_bound_ms);
    process->start(program, words);
    if (process->state() != QProcess::NotRunning)
        process->write(QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
    process->closeWriteChannel();
}

void RunHistory::hook_done(const HistoryRow& row, const QString& result, const QByteArray& output)
{
    history.note_hook(row.id, result);
    --pending;
    if (result == QLatin1String(hook_ok))
        return;
    tell(QStringLiteral("the command after the unit on %1 failed: %2; the unit's result stands")
             .arg(row.record.port, result));
    for (const QByteArray& line : output.trimmed().split('\n')) {
        if (!line.isEmpty())
            console::write_line(stderr, QStringLiteral("  ") + QString::fromLocal8Bit(line));
    }
}
