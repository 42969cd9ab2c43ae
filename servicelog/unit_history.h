#ifndef UNIT_HISTORY_H
#define UNIT_HISTORY_H

#include "servicelog/unit_record.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

// How one file of a unit's package fared.
struct FileResult {
    // What `end` holds besides an end class word: a file the run never reached, and the one under way.
    static constexpr const char* not_sent = "not_sent";
    static constexpr const char* sending = "sending";

    QString name;
    QString board; // the identifier the file's name gives ("C"); empty when it names none
    qint64 size = 0;
    QString end = QLatin1String(not_sent);
    QDateTime started, ended; // null while unknown
};

// One unit in the history: what the reports file holds, and what only the history keeps.
struct HistoryRow {
    qint64 id = 0;
    UnitRecord record;
    QList<FileResult> file_results;
    QString os_user;
    QString program_version;
    QString unit_serial; // given by the operator or the line; empty when none was
    QString hook;        // how the end-of-unit command fared; empty when none ran
    // Written when the unit started, not yet when it ended.
    bool open = false;
};

// What --history asks for; an empty field asks nothing of it.
struct HistoryFilter {
    QDateTime since, until;
    QString end_class; // an end class word, or "running" for rows still open
    QString port;      // the port as it ended or as it was named
    QString adapter_serial;
    QString unit_serial;
    QString package; // the SHA-256 in hex, or the package's file name
};

// Every unit the programs started, in an SQLite database beside the reports file, written so that a unit is on
// record before the first byte is sent to it and a station killed in mid-run still leaves its row. The one class
// that touches the database: the window, vkt-update and whatever front end comes later write through it.
//
// The database is used from a thread of its own: a commit waits for the disk (a few milliseconds, far more while
// another program holds the lock) and must never delay a line. Only opening a row waits for its commit, since the
// unit may not be sent anything before it is on record; that happens before the unit's first line. Several
// programs may write at once: WAL, a busy timeout and a retry keep "database is locked" from anyone.
//
// A database that cannot be used costs no update: each fault is told once through warning() and the history
// goes on without it, or with a new file in place of one that was not a sound database.
class UnitHistory : public QObject
{
    Q_OBJECT
public:
    // A row's end text when its program ended under it.
    static constexpr const char* interrupted_text = "interrupted: the program ended";

    explicit UnitHistory(QObject* parent = nullptr);
    ~UnitHistory() override; // waits for the writes still pending
    UnitHistory(const UnitHistory&) = delete;
    UnitHistory& operator=(const UnitHistory&) = delete;

    // <AppLocalDataLocation>/history.db, beside the reports file; VKT_HISTORY_DB names another.
    static QString default_path();
    // The operating-system user this program runs as.
    static QString os_user();

    // Opens or creates the database, and closes as interrupted the rows left open by programs that no longer run.
    // False, told through warning(), when there is no usable database: the history is then off.
    bool open(const QString& path);
    bool is_on() const { return on; }
    QString path() const { return file_path; }
    // Rows that open() found left by a program that no longer runs, and closed.
    int closed_at_open() const { return closed_dead; }

    // Writes the row with its start and returns when it is committed: its id, or 0 when it could not be written.
    qint64 open_row(const HistoryRow& row);
    // Writes how the files stand so far, without waiting.
    void note_files(qint64 id, const QList<FileResult>& files);
    // Writes the row's end without waiting; `written` then runs on this object's thread.
    void close_row(const HistoryRow& row, const std::function<void()>& written);
    void note_hook(qint64 id, const QString& result);

    // Oldest first. Waits for the writes still pending, so that a row just written is found.
    QList<HistoryRow> query(const HistoryFilter& filter);
    // The latest success of this unit with this package, if any.
    std::optional<HistoryRow> last_success(const QString& unit_serial, const QByteArray& package_sha256);

    // The row as JSON: the reports file's fields, then the history's own.
    static QJsonObject json_object(const HistoryRow& row);

signals:
    // A fault of the database, told once per kind, in words for the operator's console.
    void warning(const QString& text);

private:
    class Store;
    class Worker;

    void warn(const QString& kind, const QString& text);
    void run(std::function<void(Store&)> task);
    void call(const std::function<void()>& task);
    void tell_heard();

    std::unique_ptr<Store> store;
    std::unique_ptr<Worker> worker;
    QString file_path;
    bool on = false;
    int closed_dead = 0;
    QStringList warned;
    std::mutex heard_mutex;
    QList<QPair<QString, QString>> heard;
};

#endif // UNIT_HISTORY_H
