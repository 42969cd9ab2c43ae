#include "engine/update_engine.h"

#include "link/link_conditions.h"
#include "link/port_access.h"
#include "rules/package_rules.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace protocol = bootloader_protocol;

namespace
{

const char* const invalid_package_text = "Erro! Arquivo Inválido";
const char* const unreadable_firmware_text = "Erro! Não foi possível ler o firmware do pacote";
// What a run stopped by the operator ends with; the log says how it was stopped.
const char* const stopped_text = "Atualização interrompida";

// Gives the port a short chance to hand each line on before the pause starts.
constexpr int write_wait_ms = 5;
// How often a long silence is told again: the operator reads seconds.
constexpr int silence_tick_ms = 1000;
// Between two looks for a unit that came back under another name, while its reopening is retried.
constexpr int search_interval_ms = 100;
constexpr int progress_started = 1;

} // namespace

UpdateEngine::UpdateEngine(const QString& log_folder, QObject* parent) : QObject(parent), serial(this), log(log_folder)
{
    qRegisterMetaType<Stage>();
    qRegisterMetaType<EndClass>();

    // The log hears everything the link says before the engine reacts to it.
    connect(&serial, &Serial::rate_changed, this, [this](qint32 rate) { log.note_rate(rate); });
    connect(&serial, &Serial::closed, this, [this] { log.note_close(); });
    connect(&serial, &Serial::sent, this, [this](const QByteArray& bytes) { log.note_sent(bytes); });
    connect(&serial, &Serial::opened, this, [this](const QString& name, bool ok) { log.note_open(name, ok); });
    connect(&serial, &Serial::buffer, this, [this](const QByteArray& bytes) {
        if (bytes == link_conditions::timeout)
            log.note_timeout();
        else if (bytes == link_conditions::interrupted)
            log.note_lost();
        else if (bytes == link_conditions::connected || bytes == link_conditions::busy)
            log.note_link(bytes);
        else
            log.note_received(bytes);
    });
    connect(&serial, &Serial::buffer, this, &UpdateEngine::on_link);
    connect(&serial, &Serial::drained, this, [this] {
        if (awaiting_drain)
            line_written();
    });

    connect(&baud_timer, &QTimer::timeout, this, &UpdateEngine::timeout);
    silence_timer.setSingleShot(true);
    connect(&silence_timer, &QTimer::timeout, this, [this] {
        if (started)
            end_run(QString::fromLatin1(link_conditions::timeout));
    });
    // Tells how long the equipment has been silent, once that is long enough to worry an operator.
    connect(&silence_watch, &QTimer::timeout, this, [this] {
        if (!silence_timer.isActive()) {
            silence_watch.stop();
            return;
        }
        const qint64 silent_ms = silence_clock.elapsed();
        if (silent_ms < waits.silence_notice_ms)
            return;
        silence_shown = true;
        emit silent_for(static_cast<int>(silent_ms / 1000));
    });
    connect(&pacer, &LinePacer::due, this, &UpdateEngine::pause_over);
    write_wait.setSingleShot(true);
    write_wait.setTimerType(Qt::PreciseTimer);
    connect(&write_wait, &QTimer::timeout, this, &UpdateEngine::line_written);
    wait_timer.setSingleShot(true);
    wait_timer.setTimerType(Qt::PreciseTimer);
    connect(&wait_timer, &QTimer::timeout, this, &UpdateEngine::end_wait);
    serial.set_reply_timeout_ms(waits.reply_ms);
}

UpdateEngine::~UpdateEngine()
{
    // Both front ends stop a run before they let its engine go; were one still going, its log would say the program
    // closed during it. No ending is reported from here: whoever would hear it may be half destroyed itself.
    package_extraction::remove(extraction);
}

void UpdateEngine::set_waits(const protocol::Waits& shorter)
{
    waits = shorter;
    serial.set_reply_timeout_ms(waits.reply_ms);
}

void UpdateEngine::open_port(const QString& name)
{
    refusal_reported = false;
    package_done = false;
    named_port = name;
    serial.open_port(name);
    if (!serial.is_open() && !refusal_reported)
        refuse_port(false);
    if (serial.is_open())
        opened_adapter = port_catalog::lookup(named_port, ports->ports());
    withdraw_consent();
}

bool UpdateEngine::reopen_unit()
{
    // A port the system tells nothing of (a pseudo-terminal, a board port) is only ever reopened
    // under its name.
    if (!port_catalog::same_adapter(opened_adapter, opened_adapter))
        return serial.reopen();
    if (last_search.isValid() && last_search.elapsed() < search_interval_ms)
        return false;
    last_search.start();
    const QList<PortIdentity> listed = ports->ports();
    const port_catalog::FoundAgain found = port_catalog::find_again(opened_adapter, listed);
    const QString before = named_port;
    if (found.outcome != port_catalog::FoundAgain::Outcome::found) {
        // Not back, or several alike: only the old name, and never once another adapter holds it.
        const PortIdentity there = port_catalog::lookup(before, listed);
        const bool taken =
            port_catalog::same_adapter(there, there) && !port_catalog::same_adapter(there, opened_adapter);
        return !taken && serial.reopen();
    }
    if (!serial.reopen(found.port->name))
        return false;
    if (found.port->name != before)
        log.note(QStringLiteral("unit found again as %1 (was %2)").arg(found.port->name, before));
    opened_adapter = *found.port;
    named_port = found.port->name;
    return true;
}

void UpdateEngine::refuse_port(bool refused)
{
    refusal_reported = true;
    const QString notice = port_access::refusal_notice(port_access::inspect(serial.port_name()), refused);
    // As the operator reads it: support compares the log with what the screen said.
    log.note(QStringLiteral("port %1 not opened: %2").arg(serial.port_name(), notice));
    emit port_refused(notice);
}

void UpdateEngine::close_port()
{
    report(QString(), 0);
    // A package cannot go on after a disconnection: it is opened again after connecting, so what
    // its unpacking left is removed now rather than left beside the package.
    tear_down();
    serial.close();
    package_done = false;
    if (updating)
        finish_update(EndClass::stopped, QString::fromUtf8(stopped_text),
                      QStringLiteral("stopped: the operator disconnected"));
    pump();
}

UpdateEngine::PackageOpening UpdateEngine::open_package(const QString& path)
{
    // Read once, with the keys installed now; the name is checked first, as nothing is read for a wrong one.
    return open_package(path, package_rules::is_package_name(path)
                                  ? package_trust::read(path, package_trust::installed())
                                  : package_trust::PackageBytes());
}

UpdateEngine::PackageOpening UpdateEngine::open_package(const QString& path, const package_trust::PackageBytes& package)
{
    if (!package_rules::is_package_name(path))
        return {false, QString::fromUtf8(invalid_package_text)};
    // The operator consented to the package being sent, never to this one.
    if (started) {
        tear_down();
        status_suffix.clear();
        report(QString(), 0);
        finish_update(EndClass::stopped, QString::fromUtf8(stopped_text),
                      QStringLiteral("stopped: another package was opened"));
    }

    // Files a previous package left unsent are our own copies; the package itself still holds them.
    package_extraction::remove(extraction);
    package_done = false;
    package_path = path;
    // A refused signature unpacks nothing; otherwise the bytes verified are the bytes unpacked and hashed.
    extraction = package.verdict.refusal.isNull() ? package_extraction::extract(path, package.bytes)
                                                  : Extraction{{}, {}, {}, package.verdict.refusal};
    package_hash = package.sha256;
    signature = package.verdict;
    file_list = extraction.files;
    if (!extraction.refusal.isNull()) {
        // Nothing was unpacked: say why, rather than offer the operator an update of nothing.
        const QString refusal = extraction.refusal;
        tear_down();
        files_loaded = files_total = 0;
        status_suffix.clear();
        pump();
        return {false, refusal};
    }
    package_files.clear();
    later_lines.clear();
    for (const QString& file : qAsConst(file_list)) {
        package_files.append({package_rules::file_name(file), QFileInfo(file).size()});
        later_lines.insert(file, archive_rules::line_count_of(file));
    }
    package_rules::move_event_file_last(file_list);
    files_loaded = 0;
    files_total = file_list.size();
    status_suffix = package_rules::counter_text(files_loaded, files_total);
    read_archive();
    pump();
    // A first file that could not be read has already ended the run.
    return {archive.holds_lines(), QString()};
}

void UpdateEngine::start()
{
    started = true;
    updating = true;
    start_time = QDateTime::currentDateTime();
    UpdateStart record{QStringLiteral(PROJECT_VERSION), serial.port_name(), package_path, package_hash, package_files};
    record.signature = package_trust::describe(signature);
    log.begin_update(record);
    // Noted here, not on opening: the log of an update begins with its start.
    if (!opened_adapter.describe().isEmpty())
        log.note(QStringLiteral("port %1: %2").arg(opened_adapter.name, opened_adapter.describe()));
    start_file();
}

void UpdateEngine::abandon()
{
    ++transfer_epoch;
    tear_down();
    if (updating)
        finish_update(EndClass::stopped, QString::fromUtf8(stopped_text),
                      QStringLiteral("stopped: the window was closed"));
    pump();
}

UpdateEngine::Remaining UpdateEngine::remaining() const
{
    Remaining left;
    left.lines_in_file = archive.holds_lines() ? archive.line_count - (transmitting ? next_line : 0) : 0;
    for (const QString& file : file_list)
        left.lines_in_later_files += later_lines.value(file);
    left.later_files = file_list.size();
    left.pause_ms = send_delay;
    left.announced = announced;
    return left;
}

void UpdateEngine::on_link(const QByteArray& bytes)
{
    if (silence_shown) {
        silence_shown = false;
        emit silent_for(0);
    }
    for (const QString& message : protocol::messages_of(protocol::message_text(bytes)))
        inbox.enqueue({message, true});
    pump();
}

void UpdateEngine::pump()
{
    // A reaction may make the link speak again (a port opened, a line lost); what it says waits
    // its turn behind what came before.
    if (dispatching)
        return;
    dispatching = true;
    while (!waiting && !inbox.isEmpty()) {
        const Pending next = inbox.dequeue();
        if (next.from_link && !transmitting)
            arm_silence_bound();
        serial_state(next.message);
    }
    dispatching = false;
}

void UpdateEngine::serial_state(const QString& message)
{
    const auto contains = [&message](const char* token) {
        return message.contains(QLatin1String(token), Qt::CaseSensitive);
    };

    if (message == QLatin1String(link_conditions::connected)) {
        emit port_opened(serial.port_name());
    } else if (message == QLatin1String(link_conditions::busy)) {
        refuse_port(true);
    } else if (message == QLatin1String(link_conditions::interrupted) && package_done) {
        // The equipment restarts after the end of the package and drops the line: that is how an
        // update ends, not a pulled cable.
        package_done = false;
        stop_link_timers();
        serial.close();
        emit port_lost(QString(), true);
    } else if (protocol::holds_failure(message)) {
        end_run(message);
    } else if (contains(protocol::usb_announcement) || contains(protocol::uart_announcement)) {
        announce(message);
    } else if (contains(protocol::data_request)) {
        request_data();
    } else if (contains(protocol::progress_report)) {
        progress_report(message);
    } else if (contains(protocol::reset_request)) {
        reset_port();
    } else if (contains(protocol::file_confirmed)) {
        confirm_file();
    } else if (contains(protocol::reprogramming_report)) {
        report(QString::fromUtf8(protocol::reprogramming_status), protocol::reprogramming_progress);
    } else {
        end_run(message);
    }
}

void UpdateEngine::report(const QString& text, int progress)
{
    // Both ends of the scale leave the line at the rate every exchange with the bootloader starts at.
    if (progress == 0 || progress == Stage::progress_done)
        serial.set_rate(Serial::base_baud_rate);
    emit stage({text, status_suffix, progress, files_loaded, files_total, current_file_name});
}

void UpdateEngine::announce(const QString& message)
{
    report(QString::fromUtf8(protocol::started_status), progress_started);
    usb_mode = message.contains(QLatin1String(protocol::usb_announcement)) ? 1 : 0;
    announced = true;
    send_delay = usb_mode ? protocol::usb_send_delay_ms : protocol::uart_send_delay_ms;
    if (usb_mode == 0) {
        retry_clock.start();
        rate_uart_link();
        return;
    }
    baud_timer.start(waits.baud_guard_ms);
}

void UpdateEngine::rate_uart_link()
{
    if (serial.set_rate(protocol::uart_data_baud_rate)) {
        baud_timer.start(waits.baud_guard_ms);
        return;
    }
    if (retry_clock.elapsed() >= waits.link_retry_bound_ms) {
        fail_run(QString::fromUtf8(protocol::link_lost_status), EndClass::link_lost, true);
        return;
    }
    wait_then(0, [this] { rate_uart_link(); });
}

void UpdateEngine::request_data()
{
    baud_timer.stop();
    serial.set_reply_timeout_enabled(false);
    send_archive();
}

void UpdateEngine::send_archive()
{
    // The device need not talk while it is being fed; the silence bound starts again afterwards.
    silence_timer.stop();
    // A second request for the data restarts the file from its first line.
    sending_epoch = ++transfer_epoch;
    transmitting = true;
    next_line = 0;
    pacer.stop();
    write_wait.stop();
    awaiting_drain = false;
    send_line();
}

void UpdateEngine::send_line()
{
    if (sending_epoch != transfer_epoch || next_line >= archive.line_count) {
        finish_transmission();
        return;
    }
    serial.write_data(archive_rules::wire_bytes(archive.chunk(next_line)));
    ++next_line;
    if (serial.flush()) {
        line_written();
        return;
    }
    // The system's buffer is full: the pause starts once it took the line, or after the wait.
    awaiting_drain = true;
    write_wait.start(write_wait_ms);
}

void UpdateEngine::line_written()
{
    awaiting_drain = false;
    write_wait.stop();
    pacer.start(send_delay);
}

void UpdateEngine::pause_over()
{
    if (sending_epoch != transfer_epoch) {
        transmitting = false;
        arm_silence_bound();
        return;
    }
    // Stopped during the pause (a failure, a disconnect): nothing more goes out. A file sent to
    // its last line is released below all the same, so a stray request cannot send it again.
    if (!started && next_line < archive.line_count) {
        transmitting = false;
        return;
    }
    send_line();
}

void UpdateEngine::finish_transmission()
{
    if (sending_epoch == transfer_epoch && archive.holds_lines())
        release_record();
    transmitting = false;
    arm_silence_bound();
}

void UpdateEngine::progress_report(const QString& message)
{
    const protocol::ProgressShown shown = protocol::progress_status(protocol::progress_value(message));
    if (shown.shown)
        report(shown.text, shown.progress);
}

void UpdateEngine::reset_port()
{
    serial.close();
    wait_then(waits.reset_settle_ms, [this] {
        retry_clock.start();
        last_search.invalidate();
        reopen_after_reset();
    });
}

void UpdateEngine::reopen_after_reset()
{
    if (reopen_unit()) {
        serial.set_rate(Serial::base_baud_rate);
        return;
    }
    if (retry_clock.elapsed() >= waits.link_retry_bound_ms) {
        fail_run(QString::fromUtf8(protocol::link_lost_status), EndClass::link_lost, true);
        return;
    }
    wait_then(waits.reopen_retry_ms, [this] { reopen_after_reset(); });
}

void UpdateEngine::confirm_file()
{
    // The event board restarts the equipment once it has confirmed its file.
    if (!package_rules::is_event_file(current_file_name)) {
        show_file_done();
        return;
    }
    report(QString::fromUtf8(protocol::finishing_status), Stage::progress_finishing);
    serial.close();
    wait_then(waits.event_port_pause_ms, [this] {
        // A failure here shows up later as link errors or missing answers.
        last_search.invalidate();
        if (!reopen_unit())
            log.note_open(serial.port_name(), false);
        show_file_done();
    });
}

void UpdateEngine::show_file_done()
{
    report(QString::fromUtf8(protocol::success_status), Stage::progress_done);
    wait_then(waits.confirm_pause_ms, [this] { read_archive(); });
}

void UpdateEngine::read_archive()
{
    if (file_list.isEmpty()) {
        stop_link_timers();
        withdraw_consent();
        serial.write_data(QByteArray(protocol::end_token));
        // Handed to the system now: whoever drives the engine may close the port right after.
        serial.flush();
        package_extraction::remove(extraction);
        package_done = true;
        finish_update(EndClass::success, QString::fromUtf8(protocol::success_status));
        return;
    }

    const QString head = file_list.first();
    current_file_name = package_rules::file_name(head);
    ++transfer_epoch;
    // Waiting on a file that cannot be read would stall the run for good.
    if (!archive_rules::load_file(archive, head)) {
        fail_run(QString::fromUtf8(unreadable_firmware_text), EndClass::package_unusable, false);
        return;
    }
    QFile::remove(head);
    file_list.removeFirst();
    ++files_loaded;
    status_suffix = package_rules::counter_text(files_loaded, files_total);
    if (started)
        start_file();
}

void UpdateEngine::start_file()
{
    serial.set_reply_timeout_enabled(true);
    serial.write_data(QByteArray(protocol::start_token));
    serial.flush();
    arm_silence_bound();
}

void UpdateEngine::wait_then(int ms, std::function<void()> then)
{
    log.note_wait(ms);
    waiting = true;
    silence_timer.stop();
    const quint64 run = run_generation;
    after_wait = [this, run, then = std::move(then)] {
        // Torn down meanwhile (the window closed, the line was lost): this run must not go on.
        if (run != run_generation)
            return;
        arm_silence_bound();
        then();
    };
    wait_timer.start(ms);
}

void UpdateEngine::end_wait()
{
    waiting = false;
    const std::function<void()> then = std::move(after_wait);
    after_wait = nullptr;
    if (then)
        then();
    pump();
}

void UpdateEngine::timeout()
{
    baud_timer.stop();
    inbox.enqueue({QString::fromLatin1(protocol::baud_timeout_text), false});
    pump();
}

void UpdateEngine::tear_down()
{
    ++run_generation;
    stop_link_timers();
    if (waiting) {
        waiting = false;
        wait_timer.stop();
        after_wait = nullptr;
    }
    if (archive.holds_lines())
        release_record();
    withdraw_consent();
    package_extraction::remove(extraction);
}

void UpdateEngine::withdraw_consent()
{
    started = false;
    emit consent_withdrawn();
}

void UpdateEngine::stop_link_timers()
{
    baud_timer.stop();
    silence_timer.stop();
    serial.cancel_reply_timeout();
}

void UpdateEngine::arm_silence_bound()
{
    if (!started || waiting)
        return;
    silence_timer.start(waits.silence_bound_ms);
    silence_clock.start();
    silence_watch.start(std::min(silence_tick_ms, waits.silence_notice_ms));
}

void UpdateEngine::release_record()
{
    ++transfer_epoch;
    archive_rules::clear(archive);
}

void UpdateEngine::end_run(const QString& message)
{
    fail_run(protocol::failure_text(message), protocol::end_class(message),
             message == QLatin1String(link_conditions::interrupted));
}

void UpdateEngine::fail_run(const QString& text, EndClass end, bool link_gone)
{
    tear_down();
    report(text, 0);
    finish_update(end, text);
    if (!link_gone)
        return;
    // Only ever a closing: a loss must never make the engine open a port.
    emit port_lost(text, false);
    if (serial.is_open())
        serial.close();
}

void UpdateEngine::finish_update(EndClass end, const QString& text, const QString& outcome)
{
    log.end_update(outcome.isEmpty() ? text : outcome);
    if (!updating)
        return;
    updating = false;
    emit ended(end, text);
}
