#ifndef UPDATE_ENGINE_H
#define UPDATE_ENGINE_H

#include "link/line_pacer.h"
#include "link/port_catalog.h"
#include "link/serial.h"
#include "rules/archive.h"
#include "rules/bootloader_protocol.h"
#include "rules/package_extraction.h"
#include "rules/package_trust.h"
#include "servicelog/service_log.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QTimer>

#include <functional>

// The update of one unit on one port: it owns the port, keeps the package's files and counter, and
// follows the bootloader through every file, reporting each stage as data and each ending with its
// class. It holds no widget, so a window and a command line drive it alike, and many engines run
// side by side on one thread: every wait of the protocol is a timer and a state, never a nested
// event loop, so no unit's wait holds up another unit's lines.
class UpdateEngine : public QObject
{
    Q_OBJECT

public:
    using EndClass = bootloader_protocol::EndClass;

    // What the operator reads: the stage's text with the file counter behind it, and the progress.
    struct Stage {
        // Shown when the equipment confirmed the event board's file, and when a file is done.
        static constexpr int progress_finishing = 98;
        static constexpr int progress_done = 100;
        QString text;
        QString counter; // " (k / N)"; empty before a package is opened
        int progress = 0;
        int file = 0; // files loaded so far, the one being sent included
        int files = 0;
        QString file_name;
    };

    // What opening a package gave.
    struct PackageOpening {
        bool accepted = false;
        QString refusal; // the text for the package status field when not accepted
    };

    explicit UpdateEngine(const QString& log_folder, QObject* parent = nullptr);
    ~UpdateEngine() override;
    UpdateEngine(const UpdateEngine&) = delete;
    UpdateEngine& operator=(const UpdateEngine&) = delete;

    // Shortens the protocol's fixed waits; only tests call it.
    void set_waits(const bootloader_protocol::Waits& shorter);
    // Where a unit is looked for when it comes back under another name; the system's ports unless
    // a test lists its own.
    void set_port_catalog(const PortCatalog& catalog) { ports = &catalog; }
    // The adapter the port was found on when it opened; name only when the system knows nothing
    // more of it.
    const PortIdentity& adapter() const { return opened_adapter; }

    // Opens the port: port_opened() or port_refused() follows before this returns. Any consent
    // given before is withdrawn.
    void open_port(const QString& name);
    // The operator disconnects: a run stops where it is, its unpacked files are removed, the line
    // goes back to its base rate and is closed.
    void close_port();
    bool is_open() const { return serial.is_open(); }
    QString port_name() const { return serial.port_name(); }

    // Unpacks the package and loads its first file. A name that is not a package's changes
    // nothing; any other choice ends a run waiting for consent, since consent was given for the
    // package before.
    PackageOpening open_package(const QString& path);
    // The same with the package already read and its signature judged (package_trust::read): what was verified is
    // what is unpacked and hashed, and several units get the very bytes the operator consented to.
    PackageOpening open_package(const QString& path, const package_trust::PackageBytes& package);
    // A file is being sent: another package must not replace it under the transmission.
    bool is_sending() const { return transmitting; }
    // The file counter behind every status text, " (k / N)"; empty without a package.
    QString counter() const { return status_suffix; }
    int file_count() const { return files_total; }

    // The operator's consent: "#B_STR" for the loaded file.
    void start();
    bool is_started() const { return started; }
    // The run is abandoned where it stands: nothing more is sent and the unpacked files go, the
    // port stays as it is (the window closing).
    void abandon();

    const bootloader_protocol::Waits& protocol_waits() const { return waits; }

    // For the record of an update: the package as opened and the service log of its run.
    QString package() const { return package_path; }
    QByteArray package_sha256() const { return package_hash; }
    // The package's signature as it was judged on opening.
    const package_trust::Verdict& package_signature() const { return signature; }
    const QList<QPair<QString, qint64>>& package_file_list() const { return package_files; }
    QString service_log_file() const { return log.update_file(); }
    // When the operator consented to the run begun last; null before any.
    QDateTime started_at() const { return start_time; }

    // What is left to send, for an estimate of the time an update still needs: the lines of the
    // file being sent and of the files after it, and the pause after each line on this link (known
    // once the bootloader announced it).
    struct Remaining {
        int lines_in_file = 0; // not yet written
        int lines_in_later_files = 0;
        int later_files = 0;
        int pause_ms = 0;
        bool announced = false;
    };
    Remaining remaining() const;

signals:
    void port_opened(const QString& name);
    // The port did not open: the notice says why, as the operator reads it.
    void port_refused(const QString& notice);
    void stage(const UpdateEngine::Stage& stage);
    // The consent given no longer holds: the start dialog goes back to waiting.
    void consent_withdrawn();
    // The engine closed the port because the line is gone; the notice says so. After a whole
    // package the equipment restarts and drops the line: then `after_update` is true, the update
    // stands as it ended and there is no notice.
    void port_lost(const QString& notice, bool after_update);
    // The equipment has been silent this many seconds while the run waits for it; 0 when it
    // speaks again after such a report.
    void silent_for(int seconds);
    // A run that was started ended, once, with its class and the text the operator read last.
    void ended(bootloader_protocol::EndClass end, const QString& text);

private:
    void on_link(const QByteArray& bytes);
    void refuse_port(bool refused);
    void pump();
    // The dispatcher: each message of the equipment or condition of the link, tested in a fixed
    // order, moves the run on. The name is the window's, from when the update lived there.
    void serial_state(const QString& message);
    void report(const QString& text, int progress);

    void announce(const QString& message);
    void rate_uart_link();
    void request_data();
    // Sends the loaded file, a line per write and a pause after each.
    void send_archive();
    void send_line();
    void line_written();
    void pause_over();
    void finish_transmission();
    void progress_report(const QString& message);
    void reset_port();
    void reopen_after_reset();
    // Opens the unit's port again: under its name, or under another name when the system brought
    // the same adapter back there. False while it is not back.
    bool reopen_unit();
    void confirm_file();
    void show_file_done();
    void read_archive();
    void start_file();

    // Runs `then` after a wait of the protocol: what arrives meanwhile is handled afterwards, in
    // order, and a wait of a run that ended meanwhile never continues it.
    void wait_then(int ms, std::function<void()> then);
    void end_wait();
    // The bootloader announced itself but did not ask for the data in time.
    void timeout();

    void tear_down();
    void withdraw_consent();
    void stop_link_timers();
    void arm_silence_bound();
    void release_record();
    void end_run(const QString& message);
    void fail_run(const QString& text, EndClass end, bool link_gone);
    // Ends the update once: `text` as the operator read it, `outcome` for the log when it says more.
    void finish_update(EndClass end, const QString& text, const QString& outcome = QString());

    // A child as well as a member, so that a test can reach the link the engine listens to.
    Serial serial;
    ServiceLog log;
    LinePacer pacer;
    bootloader_protocol::Waits waits;

    // The package.
    QString package_path;
    Extraction extraction;
    QList<QString> file_list;
    // Each file's name and size as unpacked, in the package's order, for the records of the update.
    QList<QPair<QString, qint64>> package_files;
    QByteArray package_hash;
    package_trust::Verdict signature;
    // The CR-terminated lines of each file still waiting on disk, by path.
    QHash<QString, int> later_lines;
    bool announced = false;
    Archive archive;
    QString current_file_name;
    QString status_suffix;
    int files_loaded = 0;
    int files_total = 0;

    // The run.
    QDateTime start_time;
    bool started = false;
    bool updating = false; // from the consent until ended() says how the run ended
    // Until a bootloader announces its link, the slower UART pace is the safe one.
    int usb_mode = 0;
    int send_delay = bootloader_protocol::uart_send_delay_ms;
    QTimer baud_timer;
    // Times the retries of a rate change and of a reopening against their bound.
    QElapsedTimer retry_clock;
    SystemPortCatalog system_ports;
    const PortCatalog* ports = &system_ports;
    PortIdentity opened_adapter;
    // As the operator or the command line named it: the port reports a path without its /dev/.
    QString named_port;
    // When the unit was last looked for under other names: a look reads the whole port list,
    // milliseconds of work, so it is not repeated at every retry.
    QElapsedTimer last_search;
    // Bounds how long a started run waits for a device that has stopped answering.
    QTimer silence_timer;
    QTimer silence_watch;
    QElapsedTimer silence_clock;
    bool silence_shown = false;
    // The whole package went out and "#B_END" was sent.
    bool package_done = false;
    // Bumped by every teardown: a wait or retry that finds it changed knows its run is over.
    quint64 run_generation = 0;

    // The transmission: the next line, and the epoch it belongs to. The epoch is bumped by every
    // change of the record and every request for the data, so a superseded transmission never
    // writes again.
    bool transmitting = false;
    int next_line = 0;
    quint64 transfer_epoch = 0;
    quint64 sending_epoch = 0;
    bool awaiting_drain = false;
    QTimer write_wait;

    // The protocol's own waits, and what arrived during them.
    struct Pending {
        QString message;
        bool from_link;
    };
    QQueue<Pending> inbox;
    bool waiting = false;
    bool dispatching = false;
    QTimer wait_timer;
    std::function<void()> after_wait;
    // Set when opening reported why the port refused, so that no second notice follows.
    bool refusal_reported = false;
};

Q_DECLARE_METATYPE(UpdateEngine::Stage)
Q_DECLARE_METATYPE(bootloader_protocol::EndClass)

#endif // UPDATE_ENGINE_H
