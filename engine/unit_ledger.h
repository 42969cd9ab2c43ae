#ifndef UNIT_LEDGER_H
#define UNIT_LEDGER_H

#include "engine/update_engine.h"
#include "servicelog/unit_history.h"

#include <QObject>
#include <QString>

#include <functional>

// One unit's row in the history, kept by following its engine: written when the operator's consent starts the run,
// before anything is sent; each file's result as the run goes; closed with the record the front end writes at the
// run's end, where the front end adds what only it knows (the exit code, the unit's serial, who stopped the run).
class UnitLedger : public QObject
{
    Q_OBJECT
public:
    // `named_port` is the port as the operator or the line named it (the record's adapter identity).
    UnitLedger(UpdateEngine& engine, UnitHistory& history, const QString& named_port, QObject* parent = nullptr);

    void set_unit_serial(const QString& serial) { unit_serial = serial; }
    // 0 before a run started, or when its row could not be written.
    qint64 row_id() const { return row.id; }

    // Closes the run's row with its record; `written` follows, on this thread, with the row as written (also when
    // the history is off: the row then has no id).
    void close(const UnitRecord& record, const std::function<void(const HistoryRow&)>& written = nullptr);

private:
    void open();
    void follow(const UpdateEngine::Stage& stage);

    UpdateEngine& engine;
    UnitHistory& history;
    QString named_port;
    QString unit_serial;
    HistoryRow row;
};

namespace unit_ledger
{

// The files of a package as the history first records them: none sent yet.
QList<FileResult> files_of(const QList<QPair<QString, qint64>>& package_files);

// How the files stand after a step of the run: a file named for the first time has started, a file confirmed is done.
// True when anything changed.
bool follow_step(QList<FileResult>& files, const QString& file_name, UpdateEngine::Step step, const QDateTime& now);

// At the run's end the file under way ended as the run did.
void end_files(QList<FileResult>& files, bootloader_protocol::EndClass end, const QDateTime& now);

} // namespace unit_ledger

#endif // UNIT_LEDGER_H
