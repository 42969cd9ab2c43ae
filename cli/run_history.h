#ifndef RUN_HISTORY_H
#define RUN_HISTORY_H

#include "engine/update_engine.h"
#include "servicelog/unit_history.h"

#include <QHash>
#include <QObject>
#include <QString>

class UnitLedger;

// What vkt-update keeps of its units in the history: each unit's row, the warning before a unit the history already
// saw updated with this package, and the operator's command run after each unit once its row is closed.
class RunHistory : public QObject
{
    Q_OBJECT
public:
    // A label printer or an upload has this long; a command still running then is killed, so that a hung one never
    // keeps the line's next batch waiting.
    static constexpr int default_hook_bound_ms = 30000;

    struct Options {
        QString database;
        QString on_unit_end; // a command line, split without a shell; empty for none
        int hook_bound_ms = default_hook_bound_ms;
    };

    explicit RunHistory(const Options& options, QObject* parent = nullptr);
    ~RunHistory() override;
    RunHistory(const RunHistory&) = delete;
    RunHistory& operator=(const RunHistory&) = delete;

    // Keeps the row of each run of this engine. `named_port` as the operator named it.
    void follow(UpdateEngine& engine, const QString& named_port, const QString& unit_serial);
    // Empty, or the warning for a unit the history holds a success of with this package.
    QString seen_before(const UpdateEngine& engine, const QString& package);
    // Closes the unit's row with its record, then runs the command.
    void unit_ended(const UpdateEngine& engine, const UnitRecord& record);
    // No row is being closed and no command runs.
    bool settled() const { return pending == 0; }

private:
    void run_hook(const HistoryRow& row);
    void hook_done(const HistoryRow& row, const QString& result, const QByteArray& output);

    Options options;
    UnitHistory history;
    QHash<const UpdateEngine*, UnitLedger*> ledgers;
    QHash<const UpdateEngine*, QString> unit_serials;
    QByteArray package_sha256;
    int pending = 0;
};

#endif // RUN_HISTORY_H
