#ifndef SERVICE_LOG_H
#define SERVICE_LOG_H

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QLoggingCategory>
#include <QPair>
#include <QString>

#include <memory>

// The console trace of the link: QT_LOGGING_RULES="vkt.link.debug=true". Off by default, so a
// normal run formats nothing for it.
Q_DECLARE_LOGGING_CATEGORY(vkt_link)

// What a trace starts with: which program, on which port, with which package and files, so that a trace
// read months later still says what was sent.
struct UpdateStart {
    QString program_version;
    QString port;
    QString package_path;
    QByteArray package_sha256;           // hex
    QList<QPair<QString, qint64>> files; // name and size in bytes
    QString signature = QString();       // "none", or the state, key ID and trusted comment
};

// ISO 8601 to the millisecond with the offset from UTC ("2024-05-01T14:03:22.117-03:00"): a time read at
// another site, or after the clocks changed, still places the event.
QString iso_time(const QDateTime& time);

// A trace of every update for support to read after a failed one: what crossed the line, rate
// changes, port opens and closes, waits, time-outs and the outcome, each stamped to the
// millisecond. Each update gets a file of its own; between updates lines go to the console trace
// only. The log must never cost the update anything: lines are handed to a writer thread that
// formats and writes them, and a folder or disk that refuses them yields one console warning and
// a run without a file.
class ServiceLog
{
public:
    // Support asks for the last few weeks of updates; a busy bench runs a dozen a day.
    static constexpr int kept_files = 50;
    static constexpr qint64 kept_bytes = 20 * 1024 * 1024;
    // One file may use this share of the total, so that old files can be pruned before it starts.
    static constexpr qint64 file_bytes_cap = 4 * 1024 * 1024;
    // Enough to tell a header line from a record and which record it was.
    static constexpr int sent_bytes_shown = 16;

    explicit ServiceLog(const QString& folder);
    ~ServiceLog();
    ServiceLog(const ServiceLog&) = delete;
    ServiceLog& operator=(const ServiceLog&) = delete;

    // Where the program keeps its service logs: the user's application data folder.
    static QString default_folder();

    void begin_update(const UpdateStart& start);
    // The trace's last lines; nothing more goes to that update's file after them.
    void end_update(const QString& outcome);
    // The file of the update begun last, kept after its end so that the unit's record can name it; empty when
    // that update has no file.
    QString update_file() const { return update_file_path; }

    void note_sent(const QByteArray& bytes);
    // Bytes the device sent.
    void note_received(const QByteArray& bytes);
    // No reply in time, the line lost.
    void note_timeout();
    void note_lost();
    void note_rate(qint32 rate);
    void note_open(const QString& port_name, bool opened);
    void note_close();
    void note_wait(int ms);
    void note(const QString& text);

    // An empty folder keeps the console trace and writes no files.
    void set_folder(const QString& folder) { log_folder = folder; }
    QString folder() const { return log_folder; }

private:
    struct Record;
    class Writer;

    void set_clock();
    bool active() const;
    void write(const char* kind, const QByteArray& detail, int byte_count = -1, bool closing = false);
    void open_file();
    void prune_old_files();

    QString log_folder;
    QString update_file_path;
    std::unique_ptr<Writer> writer;
    bool updating = false;
    qint64 lines_sent = 0;
    qint64 bytes_sent = 0;
    qint64 chunks_received = 0;
    QElapsedTimer clock;
    qint64 clock_base_ms = 0;
};

#endif // SERVICE_LOG_H
