#include "session/bootloader_session.h"

#include <algorithm>
#include <numeric>

namespace session
{

namespace protocol = bootloader_protocol;

namespace
{

const char* const unreadable_firmware_text = "Erro! Não foi possível ler o firmware do pacote";
const char* const stopped_text = "Atualização interrompida";
constexpr int progress_started = 1;
constexpr int progress_finishing = 98;
constexpr int progress_done = 100;
// How often a long silence is told again: the operator reads seconds.
constexpr int silence_tick_ms = 1000;

constexpr quint32 bit(Input input)
{
    return 1u << int(input);
}

constexpr quint32 bit(Phase phase)
{
    return 1u << int(phase);
}

constexpr quint32 protocol_answers = bit(Input::announcement) | bit(Input::data_request) | bit(Input::progress) |
                                     bit(Input::reprogramming) | bit(Input::reset) | bit(Input::confirmation);
constexpr quint32 answers = protocol_answers | bit(Input::failure) | bit(Input::unknown);

constexpr quint32 out_of_run = bit(Phase::idle) | bit(Phase::ready) | bit(Phase::done);
constexpr quint32 waiting = bit(Phase::rating) | bit(Phase::resetting) | bit(Phase::restarting) | bit(Phase::file_done);
constexpr quint32 active = bit(Phase::starting) | bit(Phase::announced) | bit(Phase::sending) | bit(Phase::programming);
// Where the equipment is expected to speak, and its silence is timed.
constexpr quint32 listening = active & ~bit(Phase::sending);
constexpr quint32 run = active | waiting;
constexpr quint32 all = out_of_run | run;
constexpr quint32 reopening = bit(Phase::resetting) | bit(Phase::restarting);
constexpr quint32 loading = bit(Phase::idle) | bit(Phase::file_done);

using S = BootloaderSession;

bool in(quint32 phases, Phase phase)
{
    return phases & bit(phase);
}

Input answer_input(const QByteArray& token)
{
    struct Word {
        const char* token;
        Input input;
    };
    static const Word words[] = {
        {protocol::usb_announcement, Input::announcement}, {protocol::uart_announcement, Input::announcement},
        {protocol::data_request, Input::data_request},     {protocol::reset_request, Input::reset},
        {protocol::file_confirmed, Input::confirmation},   {protocol::reprogramming_report, Input::reprogramming},
    };
    if (protocol::holds_failure(token))
        return Input::failure;
    if (token.size() == protocol::token_bytes && token.startsWith(protocol::progress_report))
        return Input::progress;
    for (const Word& word : words) {
        if (token == word.token)
            return word.input;
    }
    return Input::unknown;
}

void nothing(S&, const Event&) {}

struct Rule {
    quint32 inputs;
    quint32 phases;
    void (*react)(S& session, const Event& event);
};

} // namespace

// The protocol, one row for every input in every phase: each cell is named by exactly one row (a test walks them all).
// Each row says what the session does; the functions it calls say how.
const void* BootloaderSession::table(int* rows)
{
    static const Rule rules[] = {
        // What the equipment says during a protocol wait is held and handled after it, in order.
        {answers, waiting, [](S& s, const Event& e) { s.held.push_back(e); }},
        // A failure, or an answer nobody knows, ends whatever stands: a run, or a package waiting for consent.
        {bit(Input::failure) | bit(Input::unknown), out_of_run | active,
         [](S& s, const Event& e) {
             const QString message = protocol::message_text(e.bytes);
             s.end_run(protocol::end_class(message), protocol::failure_text(message));
         }},
        // Outside a run the protocol's answers move nothing: a data request before consent sends no line, and a
        // confirmation or an announcement no longer overwrites how a run ended. The log says what was ignored.
        {protocol_answers, out_of_run, [](S& s, const Event& e) { s.ignore(protocol::message_text(e.bytes)); }},
        {bit(Input::announcement), active, [](S& s, const Event& e) { s.announce(e.bytes); }},
        {bit(Input::data_request), active, [](S& s, const Event&) { s.send_file(); }},
        {bit(Input::progress), active, [](S& s, const Event& e) { s.show_progress(e.bytes); }},
        {bit(Input::reprogramming), active,
         [](S& s, const Event&) {
             s.show(Step::programming, QString::fromUtf8(protocol::reprogramming_status),
                    protocol::reprogramming_progress);
         }},
        {bit(Input::reset), active, [](S& s, const Event&) { s.reset(); }},
        {bit(Input::confirmation), active, [](S& s, const Event&) { s.confirm(); }},

        // The line lost: the run ends, unless the package is over and the equipment restarts, which is how an update
        // ends.
        {bit(Input::link_lost), bit(Phase::done), [](S& s, const Event&) { s.link_lost(true); }},
        {bit(Input::link_lost), all & ~bit(Phase::done), [](S& s, const Event&) { s.link_lost(false); }},

        // The clocks, each in the phases that start it.
        {bit(Input::reply_expired), bit(Phase::starting),
         [](S& s, const Event&) {
             if (s.token_heard)
                 return;
             s.put(Command::Kind::note_timeout);
             s.end_run(EndClass::timeout, QString::fromLatin1(protocol::reply_timeout_text));
         }},
        {bit(Input::guard_expired), bit(Phase::announced),
         [](S& s, const Event&) { s.end_run(EndClass::timeout, QString::fromUtf8(protocol::incompatible_status)); }},
        {bit(Input::silence_expired), listening,
         [](S& s, const Event&) { s.end_run(EndClass::timeout, QString::fromLatin1(protocol::reply_timeout_text)); }},
        {bit(Input::silence_tick), listening, [](S& s, const Event&) { s.tell_silence(); }},
        {bit(Input::wait_over), bit(Phase::rating),
         [](S& s, const Event&) { s.ask_rate(protocol::uart_data_baud_rate); }},
        {bit(Input::wait_over), reopening, [](S& s, const Event&) { s.reopen(); }},
        {bit(Input::wait_over), bit(Phase::file_done), [](S& s, const Event&) { s.next_file(); }},
        {bit(Input::pause_over), bit(Phase::sending), [](S& s, const Event&) { s.send_next_line(); }},
        {bit(Input::line_taken), bit(Phase::sending), [](S& s, const Event&) { s.start(Timer::pause, s.pause_ms(), true); }},

        // What the commands that can fail gave.
        {bit(Input::rate_set), bit(Phase::rating),
         [](S& s, const Event&) {
             s.enter(Phase::announced);
             s.start(Timer::guard, s.waits.baud_guard_ms);
         }},
        {bit(Input::rate_refused), bit(Phase::rating), [](S& s, const Event& e) { s.retry(e.input); }},
        {bit(Input::port_back), bit(Phase::resetting),
         [](S& s, const Event&) {
             s.put(Command::Kind::set_rate, protocol::base_baud_rate);
             s.enter(Phase::programming);
         }},
        {bit(Input::port_not_back), bit(Phase::resetting), [](S& s, const Event& e) { s.retry(e.input); }},
        // The event board's restart reopens once: a failure shows up later as link errors or missing answers.
        {bit(Input::port_back) | bit(Input::port_not_back), bit(Phase::restarting),
         [](S& s, const Event&) { s.show_file_done(); }},
        {bit(Input::file_loaded), loading, [](S& s, const Event&) { s.loaded_file(); }},
        // Waiting on a file that cannot be read would stall the run for good.
        {bit(Input::file_unreadable), loading,
         [](S& s, const Event&) {
             s.end_run(EndClass::package_unusable, QString::fromUtf8(unreadable_firmware_text));
         }},

        // A clock or a result of a phase that is over: nothing to do.
        {bit(Input::reply_expired), all & ~bit(Phase::starting), nothing},
        {bit(Input::guard_expired), all & ~bit(Phase::announced), nothing},
        {bit(Input::silence_expired) | bit(Input::silence_tick), all & ~listening, nothing},
        {bit(Input::wait_over), all & ~waiting, nothing},
        {bit(Input::pause_over) | bit(Input::line_taken), all & ~bit(Phase::sending), nothing},
        {bit(Input::rate_set) | bit(Input::rate_refused), all & ~bit(Phase::rating), nothing},
        {bit(Input::port_back) | bit(Input::port_not_back), all & ~reopening, nothing},
        {bit(Input::file_loaded) | bit(Input::file_unreadable), all & ~loading, nothing},

        // The operator.
        {bit(Input::consent), bit(Phase::ready),
         [](S& s, const Event&) {
             s.put(Command::Kind::begin_run);
             s.start_file();
         }},
        {bit(Input::consent), all & ~bit(Phase::ready), [](S& s, const Event&) { s.ignore(QStringLiteral("consent")); }},
        {bit(Input::disconnect) | bit(Input::abandon), all, [](S& s, const Event& e) { s.stop_run(e.input, e.why); }},
        // The operator consented to the package being sent, never to another.
        {bit(Input::new_package), run, [](S& s, const Event& e) { s.stop_run(e.input, e.why); }},
        // What a package left unsent is our own copy; the package itself still holds it.
        {bit(Input::new_package), out_of_run,
         [](S& s, const Event&) {
             s.put(Command::Kind::remove_files);
             s.enter(Phase::idle);
         }},
        {bit(Input::package_refused), out_of_run,
         [](S& s, const Event&) {
             s.tear_down();
             s.package.clear();
             s.loaded = -1;
         }},
        {bit(Input::package_refused), run, [](S& s, const Event&) { s.stop_run(Input::new_package, QString()); }},
        {bit(Input::package_opened), out_of_run,
         [](S& s, const Event& e) {
             s.package = e.files;
             s.loaded = -1;
             s.enter(Phase::idle);
             s.put(Command::Kind::load_file, 0);
         }},
        {bit(Input::package_opened), run, nothing},
    };
    *rows = int(std::size(rules));
    return rules;
}

int BootloaderSession::rows_for(Input input, Phase phase)
{
    int count = 0;
    const auto* rules = static_cast<const Rule*>(table(&count));
    return int(std::count_if(rules, rules + count,
                             [&](const Rule& rule) { return (rule.inputs & bit(input)) && in(rule.phases, phase); }));
}

Event Event::answer(const QByteArray& bytes, bool noise)
{
    return {noise ? Input::unknown : answer_input(bytes), bytes, {}, {}};
}

const char* phase_name(Phase phase)
{
    static const char* const names[] = {"idle",        "ready",     "starting",   "rating",    "announced", "sending",
                                        "programming", "resetting", "restarting", "file_done", "done"};
    return names[int(phase)];
}

bool BootloaderSession::in_run() const
{
    return in(run, current_phase);
}

int BootloaderSession::pause_ms() const
{
    // Until a bootloader announces its link, the slower UART pace is the safe one.
    return pace > 0 ? pace : protocol::uart_send_delay_ms;
}

std::vector<Command> BootloaderSession::handle(const Event& event, qint64 now_ms)
{
    // The session's own list keeps its room from event to event; the caller gets a copy of just what this one gave.
    out.clear();
    now = now_ms;
    const bool answer = answers & bit(event.input);
    if (answer || event.input == Input::link_lost) {
        // Heard, whatever is made of it: the reply came, and the silence told of is over.
        token_heard = answer && event.bytes.startsWith(protocol::token_mark);
        stop(Timer::reply);
        if (silence_told)
            put(Command::Kind::silent_for, 0);
        silence_told = false;
    }
    dispatch(event);
    // What was held for a wait is handled once the wait is over, until a new one begins.
    while (!held.empty() && !in(waiting, current_phase)) {
        const Event next = held.front();
        held.pop_front();
        dispatch(next);
    }
    return std::vector<Command>(out.begin(), out.end());
}

void BootloaderSession::dispatch(const Event& event)
{
    // Every answer the equipment gives while it is listened to starts its silence bound again.
    if ((answers & bit(event.input)) && in(listening, current_phase))
        enter(current_phase);
    int count = 0;
    const auto* rules = static_cast<const Rule*>(table(&count));
    for (const Rule* rule = rules; rule != rules + count; ++rule) {
        if ((rule->inputs & bit(event.input)) && in(rule->phases, current_phase)) {
            rule->react(*this, event);
            return;
        }
    }
}

void BootloaderSession::ignore(const QString& what)
{
    note(QStringLiteral("ignored %1 while %2").arg(what, QLatin1String(phase_name(current_phase))));
}

Command& BootloaderSession::put(Command::Kind kind, int value, const QString& text)
{
    out.push_back({kind, value});
    out.back().text = text;
    return out.back();
}

void BootloaderSession::start(Timer timer, int ms, bool quiet)
{
    running[size_t(timer)] = true;
    if (timer == Timer::wait) {
        wait_started = now;
        wait_length = ms;
    }
    Command& command = put(Command::Kind::start_timer, ms);
    command.timer = timer;
    command.quiet = quiet;
}

void BootloaderSession::stop(Timer timer)
{
    if (!running[size_t(timer)])
        return;
    running[size_t(timer)] = false;
    put(Command::Kind::stop_timer).timer = timer;
}

// The clocks belong to their phases: leaving one stops what it started, and the equipment's silence is timed only
// where it is expected to speak.
void BootloaderSession::enter(Phase phase)
{
    const Timer owned[] = {Timer::reply, Timer::guard, Timer::pause, Timer::wait};
    const quint32 owners[] = {bit(Phase::starting), bit(Phase::announced), bit(Phase::sending), waiting};
    for (size_t i = 0; i < std::size(owned); ++i) {
        if (!in(owners[i], phase) || phase != current_phase)
            stop(owned[i]);
    }
    changes += phase != current_phase ? 1 : 0;
    current_phase = phase;
    if (!in(listening, phase)) {
        stop(Timer::silence);
        stop(Timer::tick);
        return;
    }
    silent_since = now;
    start(Timer::silence, waits.silence_bound_ms);
    start(Timer::tick, std::min(silence_tick_ms, waits.silence_notice_ms));
}

// Whatever stands is let go: the clocks, the file held, the consent and the unpacked files.
void BootloaderSession::tear_down()
{
    enter(Phase::idle);
    held.clear();
    if (lines_held > 0)
        put(Command::Kind::release_file);
    lines_held = 0;
    put(Command::Kind::withdraw_consent);
    put(Command::Kind::remove_files);
}

void BootloaderSession::finish(EndClass end, const QString& text, const QString& outcome)
{
    Command& ending = put(Command::Kind::end, 0, text);
    ending.end = end;
    ending.outcome = outcome.isEmpty() ? text : outcome;
}

void BootloaderSession::end_run(EndClass end, const QString& text, bool link_gone)
{
    const bool ran = in_run();
    tear_down();
    // Back at the rate every exchange starts at, whatever the link was left at.
    if (ran)
        put(Command::Kind::set_rate, protocol::base_baud_rate);
    show(Step::failed, text, 0);
    if (ran)
        finish(end, text, QString());
    if (!link_gone)
        return;
    // Only ever a closing: a loss must never make the program open a port.
    put(Command::Kind::port_lost, 0, text);
    put(Command::Kind::close_port);
}

void BootloaderSession::stop_run(Input input, const QString& why)
{
    const bool ran = in_run();
    const bool disconnect = input == Input::disconnect;
    if (disconnect) {
        if (ran)
            put(Command::Kind::set_rate, protocol::base_baud_rate);
        show(Step::cleared, QString(), 0);
    }
    tear_down();
    if (disconnect)
        put(Command::Kind::close_port);
    QString outcome = disconnect ? (why.isEmpty() ? QStringLiteral("stopped: the operator disconnected")
                                                  : QStringLiteral("stopped: %1").arg(why))
                                 : QStringLiteral("stopped: the window was closed");
    if (input == Input::new_package) {
        package.clear();
        loaded = -1;
        put(Command::Kind::set_rate, protocol::base_baud_rate);
        show(Step::cleared, QString(), 0);
        outcome = QStringLiteral("stopped: another package was opened");
    }
    if (ran)
        finish(EndClass::stopped, QString::fromUtf8(stopped_text), outcome);
}

void BootloaderSession::start_file()
{
    send(protocol::start_token);
    enter(Phase::starting);
    start(Timer::reply, waits.reply_ms);
}

void BootloaderSession::announce(const QByteArray& token)
{
    show(Step::announced, QString::fromUtf8(protocol::started_status), progress_started);
    const bool uart = token == protocol::uart_announcement;
    pace = uart ? protocol::uart_send_delay_ms : protocol::usb_send_delay_ms;
    if (!uart) {
        enter(Phase::announced);
        start(Timer::guard, waits.baud_guard_ms);
        return;
    }
    enter(Phase::rating);
    retry_since = now;
    ask_rate(protocol::uart_data_baud_rate);
}

void BootloaderSession::send_file()
{
    // The request again before a second line went out: the first line, already on its way, answers both. Sent again,
    // it would leave a bootloader that counts lines one line too many.
    if (current_phase == Phase::sending && next_line == 1) {
        note(QStringLiteral("data request again before the second line: the first answers both"));
        return;
    }
    // A later request starts the file again from its first line.
    next_line = 0;
    enter(Phase::sending);
    send_next_line();
}

void BootloaderSession::send_next_line()
{
    if (next_line < lines_held) {
        put(Command::Kind::send_line, next_line++);
        return;
    }
    // Sent to its last line, the file is released, so a stray request cannot send it again.
    if (lines_held > 0)
        put(Command::Kind::release_file);
    lines_held = 0;
    enter(Phase::programming);
}

void BootloaderSession::show_progress(const QByteArray& token)
{
    const int value = static_cast<quint8>(token.at(protocol::token_bytes - 1));
    // A real bootloader reports 0 to 100; any other byte is no percentage, and showing it as one would mislead.
    if (value > progress_done) {
        note(QStringLiteral("progress byte %1 is no percentage: not shown").arg(value));
        return;
    }
    const protocol::ProgressShown shown = protocol::progress_status(value);
    if (shown.shown)
        show(shown.progress == protocol::reprogramming_progress ? Step::programming : Step::sending, shown.text,
             shown.progress);
}

void BootloaderSession::reset()
{
    // The bootloader starts over: what it had of a file being sent is gone, and its confirmation follows the reset.
    put(Command::Kind::close_port);
    enter(Phase::resetting);
    retry_since = -1;
    retries = 0;
    start(Timer::wait, waits.reset_settle_ms);
}

void BootloaderSession::confirm()
{
    if (loaded < 0 || !package.at(size_t(loaded)).event_board) {
        show_file_done();
        return;
    }
    // The event board restarts the equipment once it has confirmed its file.
    show(Step::finishing, QString::fromUtf8(protocol::finishing_status), progress_finishing);
    put(Command::Kind::close_port);
    enter(Phase::restarting);
    start(Timer::wait, waits.event_port_pause_ms);
}

void BootloaderSession::link_lost(bool after_update)
{
    if (!after_update) {
        end_run(EndClass::link_lost, QString::fromUtf8(protocol::line_lost_status), true);
        return;
    }
    // After the package the equipment restarts and drops the line: that is how an update ends, not a pulled cable.
    tear_down();
    put(Command::Kind::close_port);
    put(Command::Kind::port_lost, 1);
}

void BootloaderSession::reopen()
{
    // A reset's reopening is retried up to a bound, counted from its first try; the event board's is tried once.
    const bool first = current_phase == Phase::restarting || retry_since < 0;
    if (current_phase == Phase::resetting && retry_since < 0)
        retry_since = now;
    put(Command::Kind::reopen_port, first ? 1 : 0).quiet = current_phase == Phase::resetting;
}

void BootloaderSession::retry(Input input)
{
    if (now - retry_since >= waits.link_retry_bound_ms) {
        end_run(EndClass::link_lost, QString::fromUtf8(protocol::link_lost_status), true);
        return;
    }
    if (input == Input::rate_refused) {
        start(Timer::wait, 0);
        return;
    }
    // Retried every few milliseconds up to the bound: said once, not at every try.
    if (retries++ == 0)
        note(QStringLiteral("port not back: tried again every %1 ms for up to %2 ms")
                 .arg(waits.reopen_retry_ms)
                 .arg(waits.link_retry_bound_ms));
    start(Timer::wait, waits.reopen_retry_ms, true);
}

void BootloaderSession::loaded_file()
{
    if (loaded + 1 >= files()) {
        end_run(EndClass::package_unusable, QString::fromUtf8(unreadable_firmware_text));
        return;
    }
    ++loaded;
    lines_held = package.at(size_t(loaded)).lines;
    next_line = 0;
    if (current_phase == Phase::idle)
        enter(Phase::ready);
    else
        start_file();
}

void BootloaderSession::show_file_done()
{
    put(Command::Kind::set_rate, protocol::base_baud_rate);
    show(file() < files() ? Step::file_done : Step::package_done, QString::fromUtf8(protocol::success_status),
         progress_done);
    enter(Phase::file_done);
    start(Timer::wait, waits.confirm_pause_ms);
}

void BootloaderSession::next_file()
{
    if (file() < files()) {
        if (lines_held > 0)
            put(Command::Kind::release_file);
        lines_held = 0;
        put(Command::Kind::load_file, loaded + 1);
        return;
    }
    enter(Phase::done);
    put(Command::Kind::withdraw_consent);
    send(protocol::end_token);
    put(Command::Kind::remove_files);
    finish(EndClass::success, QString::fromUtf8(protocol::success_status), QString());
}

void BootloaderSession::tell_silence()
{
    const qint64 silent_ms = now - silent_since;
    start(Timer::tick, std::min(silence_tick_ms, waits.silence_notice_ms));
    if (silent_ms < waits.silence_notice_ms)
        return;
    silence_told = true;
    put(Command::Kind::silent_for, static_cast<int>(silent_ms / 1000));
}

qint64 BootloaderSession::least_ms_left(qint64 now_ms) const
{
    if (pace == 0)
        return -1;
    const auto later = package.begin() + std::min(loaded + 1, files());
    qint64 lines = lines_held - (current_phase == Phase::sending ? next_line : 0);
    lines = std::accumulate(later, package.end(), lines, [](qint64 sum, const File& f) { return sum + f.lines; });
    qint64 ms = lines * pace + (package.end() - later) * qint64(waits.confirm_pause_ms);
    const bool event_now = loaded >= 0 && loaded < files() && package.at(size_t(loaded)).event_board;
    const qint64 rest = std::max<qint64>(0, wait_length - (now_ms - wait_started));
    if (current_phase == Phase::file_done)
        ms += rest;
    else if (current_phase == Phase::restarting)
        ms += rest + waits.confirm_pause_ms;
    else
        ms += waits.confirm_pause_ms + (event_now ? waits.event_port_pause_ms : 0);
    if (std::any_of(later, package.end(), [](const File& f) { return f.event_board; }))
        ms += waits.event_port_pause_ms;
    return ms;
}

} // namespace session
