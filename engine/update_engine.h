#ifndef UPDATE_ENGINE_H
#define UPDATE_ENGINE_H

#include "link/line_pacer.h"
#include "link/port_catalog.h"
#include "link/serial.h"
#include "rules/archive.h"
#include "rules/bootloader_protocol.h"
#include "rules/package_extraction.h"
#include "rules/package_trust.h"
#include "rules/token_framer.h"
#include "servicelog/service_log.h"
#include "session/bootloader_session.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>

// The update of one unit on one port, for every front end: the shell around the bootloader session. The session
// decides; this owns the port, the clocks, the package's files and the service log, carries out what the session
// decides and tells it what happened. It holds no widget, so a window and a command line drive it alike, and many
// engines run side by side on one thread: every wait is a clock, never a nested event loop.
class UpdateEngine : public QObject
{
    Q_OBJECT

public:
    using EndClass = bootloader_protocol::EndClass;
    using Step = session::Step;

    // What the operator reads: the stage's text with the file counter behind it, the progress, and what the stage is.
    struct Stage {
        QString text;
        QString counter; // " (k / N)"; empty before a package is opened
        int progress = 0;
        int file = 0; // files loaded so far, the one being sent included
        int files = 0;
        QString file_name;
        Step step = Step::cleared;
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
    void set_waits(const bootloader_protocol::Waits& shorter) { session.set_waits(shorter); }
    // Where a unit is looked for when it comes back under another name; the system's ports unless a test lists its own.
    void set_port_catalog(const PortCatalog& catalog) { ports = &catalog; }
    // The adapter the port was found on when it opened; name only when the system knows nothing more of it.
    const PortIdentity& adapter() const { return opened_adapter; }

    // Opens the port: port_opened() or port_refused() follows before this returns. No consent outlives the
    // disconnection or loss that came before.
    void open_port(const QString& name);
    // The operator disconnects: a run stops where it is, its unpacked files are removed, the line goes back to its
    // base rate and is closed. `why` names what stopped it, for the log, when it was not the operator ("SIGTERM").
    void close_port(const QString& why = QString());
    bool is_open() const { return serial.is_open(); }
    QString port_name() const { return serial.port_name(); }

    // Unpacks the package and loads its first file. A name that is not a package's changes nothing; any other choice
    // ends a run, since consent was given for the package before.
    PackageOpening open_package(const QString& path);
    // The same with the package already read and its signature judged (package_trust::read): what was verified is
    // what is unpacked and hashed, and several units get the very bytes the operator consented to.
    PackageOpening open_package(const QString& path, const package_trust::PackageBytes& package);
    // A file is being sent: another package must not replace it under the transmission.
    bool is_sending() const { return session.phase() == session::Phase::sending; }
    // The file counter behind every status text, " (k / N)"; empty without a package.
    QString counter() const;
    int file_count() const { return session.files(); }

    // The operator's consent: "#B_STR" for the loaded file.
    void start();
    bool is_started() const { return session.in_run(); }
    // The run is abandoned where it stands: nothing more is sent and the unpacked files go, the port stays as it is
    // (the window closing).
    void abandon();

    // For the record of an update: the package as opened and the service log of its run.
    QString package() const { return package_path; }
    QByteArray package_sha256() const { return package_hash; }
    // The package's signature as it was judged on opening.
    const package_trust::Verdict& package_signature() const { return signature; }
    const QList<QPair<QString, qint64>>& package_file_list() const { return package_files; }
    QString service_log_file() const { return log.update_file(); }
    // When the operator consented to the run begun last; null before any.
    QDateTime started_at() const { return start_time; }
    // The least time in seconds the update still needs: the lines still to send at the link's pause and the
    // protocol's own waits ahead. Neither the lines' time on the wire nor the equipment's programming is known, so it
    // is -1 until the bootloader has announced its link.
    int seconds_left() const;

signals:
    void port_opened(const QString& name);
    // The port did not open: the notice says why, as the operator reads it.
    void port_refused(const QString& notice);
    void stage(const UpdateEngine::Stage& stage);
    // Consent was given and nothing is sent yet: what must be on record before the run's first byte (the unit's
    // history row) is written by a direct connection to this.
    void starting();
    // The consent given no longer holds: the start dialog goes back to waiting.
    void consent_withdrawn();
    // The engine closed the port because the line is gone; the notice says so. After a whole package the equipment
    // restarts and drops the line: then `after_update` is true, the update stands as it ended and there is no notice.
    void port_lost(const QString& notice, bool after_update);
    // The equipment has been silent this many seconds while the run waits for it; 0 when it speaks again after such a
    // report.
    void silent_for(int seconds);
    // A run that was started ended, once, with its class and the text the operator read last.
    void ended(bootloader_protocol::EndClass end, const QString& text);

private:
    void feed(const session::Event& event);
    void feed(session::Input input) { feed(session::Event{input, {}, {}, {}}); }
    void execute(const session::Command& command);
    void on_bytes(const QByteArray& bytes);
    void write_line(int index);
    void line_taken();
    void reopen(bool first, bool note_failure);
    // Opens the unit's port again: under its name, or under another name when the system brought the same adapter
    // back there. False while it is not back.
    bool reopen_unit();
    void load(int index);
    void begin_run();
    void refuse_port(bool refused);

    Serial serial;
    ServiceLog log;
    LinePacer pacer;
    TokenFramer framer;
    session::BootloaderSession session;
    QElapsedTimer clock;
    // The session's clocks but the pause after each line, which the pacer keeps.
    std::array<QTimer, session::timer_count - 1> timers;
    // Gives the port a short chance to hand a line on before the pause starts.
    QTimer write_wait;
    bool awaiting_drain = false;

    // The package.
    QString package_path;
    Extraction extraction;
    QStringList file_paths; // in the order they are sent
    // Each file's name and size as unpacked, in the package's order, for the records of the update.
    QList<QPair<QString, qint64>> package_files;
    QByteArray package_hash;
    package_trust::Verdict signature;
    Archive archive;
    QString current_file_name;
    QDateTime start_time;

    // The port.
    SystemPortCatalog system_ports;
    const PortCatalog* ports = &system_ports;
    PortIdentity opened_adapter;
    // As the operator or the command line named it: the port reports a path without its /dev/.
    QString named_port;
    // When the unit was last looked for under other names: a look reads the whole port list, milliseconds of work, so
    // it is not repeated at every retry.
    QElapsedTimer last_search;
    // The adapters alike found while the unit is looked for, once said in the log.
    QStringList alike_noted;
};

Q_DECLARE_METATYPE(UpdateEngine::Stage)
Q_DECLARE_METATYPE(bootloader_protocol::EndClass)

#endif // UPDATE_ENGINE_H
