#include "engine/update_engine.h"

#include "link/port_access.h"
#include "rules/package_rules.h"

#include <QFile>
#include <QFileInfo>

namespace protocol = bootloader_protocol;
using session::Command;
using session::Input;
using session::Timer;

namespace
{

const char* const invalid_package_text = "Erro! Arquivo Inválido";
// A line the system did not take at once may take this long before its pause starts regardless.
constexpr int write_wait_ms = 5;
// Between two looks for a unit that came back under another name, while its reopening is retried.
constexpr int search_interval_ms = 100;
static_assert(protocol::base_baud_rate == Serial::base_baud_rate, "the link opens at the rate the protocol starts at");

} // namespace

UpdateEngine::UpdateEngine(const QString& log_folder, QObject* parent) : QObject(parent), serial(this), log(log_folder)
{
    qRegisterMetaType<Stage>();
    qRegisterMetaType<EndClass>();
    clock.start();

    // The log hears everything the link says before the engine reacts to it.
    connect(&serial, &Serial::rate_changed, this, [this](qint32 rate) { log.note_rate(rate); });
    connect(&serial, &Serial::closed, this, [this] { log.note_close(); });
    connect(&serial, &Serial::sent, this, [this](const QByteArray& bytes) { log.note_sent(bytes); });
    connect(&serial, &Serial::opened, this, [this](const QString& name, bool ok) { log.note_open(name, ok); });
    connect(&serial, &Serial::received, this, [this](const QByteArray& bytes) {
        log.note_received(bytes);
        on_bytes(bytes);
    });
    connect(&serial, &Serial::lost, this, [this] {
        log.note_lost();
        feed(Input::link_lost);
    });
    connect(&serial, &Serial::drained, this, [this] {
        if (awaiting_drain)
            line_taken();
    });
    write_wait.setSingleShot(true);
    write_wait.setTimerType(Qt::PreciseTimer);
    connect(&write_wait, &QTimer::timeout, this, &UpdateEngine::line_taken);
    connect(&pacer, &LinePacer::due, this, [this] { feed(Input::pause_over); });
    const Input expiries[] = {Input::reply_expired, Input::guard_expired, Input::silence_expired, Input::silence_tick,
                              Input::wait_over};
    for (size_t i = 0; i < timers.size(); ++i) {
        timers[i].setSingleShot(true);
        // The protocol's waits are a few milliseconds where the line is reopened again and again.
        timers[i].setTimerType(Timer(i) == Timer::wait ? Qt::PreciseTimer : Qt::CoarseTimer);
        connect(&timers[i], &QTimer::timeout, this, [this, input = expiries[i]] { feed(input); });
    }
}

UpdateEngine::~UpdateEngine()
{
    // Both front ends stop a run before they let its engine go; were one still going, its log would say the program
    // closed during it. No ending is reported from here: whoever would hear it may be half destroyed itself.
    package_extraction::remove(extraction);
}

void UpdateEngine::open_port(const QString& name)
{
    named_port = name;
    if (serial.open_port(name)) {
        opened_adapter = port_catalog::lookup(named_port, ports->ports());
        emit port_opened(serial.port_name());
    } else {
        refuse_port(serial.refused());
    }
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
    if (found.candidates != alike_noted && !found.candidates.isEmpty())
        log.note(QStringLiteral("not looked for under %1: adapters alike, none told apart; only %2 is tried")
                     .arg(found.candidates.join(QStringLiteral(", ")), before));
    alike_noted = found.candidates;
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
    const QString notice = port_access::refusal_notice(port_access::inspect(serial.port_name()), refused);
    // As the operator reads it: support compares the log with what the screen said.
    log.note(QStringLiteral("port %1 not opened: %2").arg(serial.port_name(), notice));
    emit port_refused(notice);
}

void UpdateEngine::close_port(const QString& why)
{
    feed({Input::disconnect, {}, {}, why});
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
    feed(Input::new_package);
    package_path = path;
    // A refused signature unpacks nothing; otherwise the bytes verified are the bytes unpacked and hashed.
    extraction = package.verdict.refusal.isNull() ? package_extraction::extract(path, package.bytes)
                                                  : Extraction{{}, {}, {}, package.verdict.refusal, {}};
    package_hash = package.sha256;
    signature = package.verdict;
    if (!extraction.refusal.isNull()) {
        // Nothing was unpacked: say why, rather than offer the operator an update of nothing.
        const QString refusal = extraction.refusal;
        feed(Input::package_refused);
        return {false, refusal};
    }
    package_extraction::keep_note(extraction);
    package_files.clear();
    for (const QString& file : qAsConst(extraction.files))
        package_files.append({package_rules::file_name(file), QFileInfo(file).size()});
    file_paths = extraction.files;
    package_rules::move_event_file_last(file_paths);
    session::Event opened{Input::package_opened, {}, {}, {}};
    for (const QString& file : qAsConst(file_paths))
        opened.files.push_back({archive_rules::line_count_of(file), package_rules::is_event_file(file)});
    feed(opened);
    // A first file that could not be read has already ended it.
    return {session.phase() == session::Phase::ready, QString()};
}

QString UpdateEngine::counter() const
{
    return session.files() > 0 ? package_rules::counter_text(session.file(), session.files()) : QString();
}

void UpdateEngine::start()
{
    feed(Input::consent);
}

void UpdateEngine::abandon()
{
    feed(Input::abandon);
}

int UpdateEngine::seconds_left() const
{
    const qint64 ms = session.least_ms_left(clock.elapsed());
    return ms < 0 ? -1 : static_cast<int>(ms / 1000);
}

void UpdateEngine::feed(const session::Event& event)
{
    // Each command runs in order; one that the front end answers by calling back in (a lost line disconnecting the
    // window) is handled there and then, as the session has already moved on.
    const std::vector<Command> commands = session.handle(event, clock.elapsed());
    for (const Command& command : commands)
        execute(command);
}

void UpdateEngine::on_bytes(const QByteArray& bytes)
{
    framer.feed(bytes);
    QList<TokenFramer::Frame> frames;
    QByteArray read;
    bool failure = false;
    for (TokenFramer::Frame frame; framer.next(&frame);) {
        frames.append(frame);
        read += frame.bytes;
        failure = failure || protocol::holds_failure(frame.bytes);
    }
    // A failure outweighs whatever arrived with it: the tokens of that read are judged as one answer.
    if (failure) {
        feed(session::Event::answer(read, false));
        return;
    }
    for (const TokenFramer::Frame& frame : qAsConst(frames))
        feed(session::Event::answer(frame.bytes, frame.noise));
}

void UpdateEngine::execute(const Command& command)
{
    switch (command.kind) {
    case Command::Kind::send:
        serial.write_data(command.token);
        // Handed to the system now: whoever drives the engine may close the port right after.
        serial.flush();
        break;
    case Command::Kind::send_line:
        write_line(command.value);
        break;
    case Command::Kind::set_rate: {
        const bool set = serial.set_rate(command.value);
        if (command.answered)
            feed(set ? Input::rate_set : Input::rate_refused);
        break;
    }
    case Command::Kind::close_port:
        if (serial.is_open())
            serial.close();
        break;
    case Command::Kind::reopen_port:
        reopen(command.value == 1, !command.quiet);
        break;
    case Command::Kind::start_timer:
        if (command.timer == Timer::wait && !command.quiet)
            log.note_wait(command.value);
        if (command.timer == Timer::pause)
            pacer.start(command.value);
        else
            timers[size_t(command.timer)].start(command.value);
        break;
    case Command::Kind::stop_timer:
        if (command.timer == Timer::pause)
            pacer.stop();
        else
            timers[size_t(command.timer)].stop();
        break;
    case Command::Kind::load_file:
        load(command.value);
        break;
    case Command::Kind::release_file:
        archive_rules::clear(archive);
        break;
    case Command::Kind::remove_files:
        package_extraction::remove(extraction);
        break;
    case Command::Kind::withdraw_consent:
        emit consent_withdrawn();
        break;
    case Command::Kind::begin_run:
        begin_run();
        break;
    case Command::Kind::show:
        emit stage(
            {command.text, counter(), command.value, session.file(), session.files(), current_file_name, command.step});
        break;
    case Command::Kind::silent_for:
        emit silent_for(command.value);
        break;
    case Command::Kind::port_lost:
        emit port_lost(command.text, command.value == 1);
        break;
    case Command::Kind::end:
        log.end_update(command.outcome);
        emit ended(command.end, command.text);
        break;
    case Command::Kind::note:
        log.note(command.text);
        break;
    case Command::Kind::note_timeout:
        log.note_timeout();
        break;
    }
}

void UpdateEngine::write_line(int index)
{
    serial.write_data(archive_rules::wire_bytes(archive.chunk(index)));
    write_wait.stop();
    awaiting_drain = false;
    if (serial.flush()) {
        feed(Input::line_taken);
        return;
    }
    // The system's buffer is full: the pause starts once it took the line, or after the wait.
    awaiting_drain = true;
    write_wait.start(write_wait_ms);
}

void UpdateEngine::line_taken()
{
    awaiting_drain = false;
    write_wait.stop();
    feed(Input::line_taken);
}

void UpdateEngine::reopen(bool first, bool note_failure)
{
    if (first)
        last_search.invalidate();
    const bool back = reopen_unit();
    // The event board's restart reopens once, and a failure shows up later as link errors or missing answers.
    if (!back && note_failure)
        log.note_open(serial.port_name(), false);
    feed(back ? Input::port_back : Input::port_not_back);
}

void UpdateEngine::load(int index)
{
    const QString path = file_paths.value(index);
    current_file_name = package_rules::file_name(path);
    const bool loaded = archive_rules::load_file(archive, path);
    if (loaded)
        QFile::remove(path);
    feed(loaded ? Input::file_loaded : Input::file_unreadable);
}

void UpdateEngine::begin_run()
{
    start_time = QDateTime::currentDateTime();
    // The hash is of the bytes unpacked when the package was opened, not of whatever the file holds by now.
    UpdateStart record{QStringLiteral(PROJECT_VERSION), serial.port_name(), package_path, package_hash, package_files};
    record.signature = package_trust::describe(signature);
    log.begin_update(record);
    // Noted here, not on opening: the log of an update begins with its start.
    if (!opened_adapter.describe().isEmpty())
        log.note(QStringLiteral("port %1: %2").arg(opened_adapter.name, opened_adapter.describe()));
    // The unit's history row is committed here, before "#B_STR" leaves.
    emit starting();
}
