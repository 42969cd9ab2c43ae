#include "engine/unit_ledger.h"

#include "engine/unit_report.h"
#include "rules/firmware_rules.h"

namespace unit_ledger
{

QList<FileResult> files_of(const QList<QPair<QString, qint64>>& package_files)
{
    QList<FileResult> files;
    for (const auto& [name, size] : package_files) {
        FileResult file;
        file.name = name;
        // The board the converter wrote into the file's header, from the same word in its name.
        const char board = firmware_rules::board_identifier(name);
        if (board != firmware_rules::no_board)
            file.board = QChar::fromLatin1(board);
        file.size = size;
        files.append(file);
    }
    return files;
}

bool follow_step(QList<FileResult>& files, const QString& file_name, UpdateEngine::Step step, const QDateTime& now)
{
    const bool done = step == UpdateEngine::Step::file_done || step == UpdateEngine::Step::package_done;
    for (FileResult& file : files) {
        if (file.name != file_name)
            continue;
        if (file.end == QLatin1String(FileResult::not_sent)) {
            file.end = QLatin1String(FileResult::sending);
            file.started = now;
        } else if (!done || file.end != QLatin1String(FileResult::sending)) {
            return false;
        }
        if (done) {
            file.end = QLatin1String(bootloader_protocol::end_class_name(bootloader_protocol::EndClass::success));
            file.ended = now;
        }
        return true;
    }
    return false;
}

void end_files(QList<FileResult>& files, bootloader_protocol::EndClass end, const QDateTime& now)
{
    for (FileResult& file : files) {
        if (file.end != QLatin1String(FileResult::sending))
            continue;
        file.end = QLatin1String(bootloader_protocol::end_class_name(end));
        file.ended = now;
    }
}

} // namespace unit_ledger

UnitLedger::UnitLedger(UpdateEngine& engine, UnitHistory& history, const QString& named_port, QObject* parent)
    : QObject(parent), engine(engine), history(history), named_port(named_port)
{
    // Direct: the row must be committed before the engine sends the run's first byte.
    connect(&engine, &UpdateEngine::starting, this, &UnitLedger::open, Qt::DirectConnection);
    connect(&engine, &UpdateEngine::stage, this, &UnitLedger::follow);
}

void UnitLedger::open()
{
    row = HistoryRow();
    // The window names the port as it opened it.
    const QString named = named_port.isEmpty() ? engine.adapter().name : named_port;
    row.record = unit_report::record_of(engine, named, bootloader_protocol::EndClass::stopped, QString());
    row.file_results = unit_ledger::files_of(row.record.files);
    row.program_version = QStringLiteral(PROJECT_VERSION);
    row.os_user = UnitHistory::os_user();
    row.unit_serial = unit_serial;
    row.open = true;
    row.id = history.open_row(row);
}

void UnitLedger::follow(const UpdateEngine::Stage& stage)
{
    if (row.open &&
        unit_ledger::follow_step(row.file_results, stage.file_name, stage.step, QDateTime::currentDateTime()))
        history.note_files(row.id, row.file_results);
}

void UnitLedger::close(const UnitRecord& record, const std::function<void(const HistoryRow&)>& written)
{
    row.record = record;
    row.open = false;
    unit_ledger::end_files(row.file_results, record.end_class, record.ended);
    const HistoryRow closed = row;
    history.close_row(closed, [closed, written] {
        if (written)
            written(closed);
    });
}
