#ifndef BOOTLOADER_SESSION_H
#define BOOTLOADER_SESSION_H

#include "rules/bootloader_protocol.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <deque>
#include <vector>

// The update of one unit as the bootloader's protocol has it, with no port, clock or file of its own: events go in
// (what the equipment said, the link's news, a clock run out, what a command gave, the operator's choice) and
// commands come out (send this, set that rate, start that clock, show this step, end the run). What each input does in
// each phase is one row of a table, so the protocol is read, tested and fuzzed as a table; a shell does the I/O.
namespace session
{

using bootloader_protocol::EndClass;

enum class Phase {
    idle,        // nothing to send: no package, or what a run left behind was released
    ready,       // a package opened and its first file loaded: the operator's consent awaited
    starting,    // "#B_STR" sent: the bootloader's announcement awaited
    rating,      // a UART link announced: the line's new rate being set
    announced,   // the request for the data awaited
    sending,     // the file's lines going out, a pause after each
    programming, // the file sent, or reset: progress and the confirmation awaited
    resetting,   // "#B_RST": the port closed, let settle and opened again
    restarting,  // the event board confirmed: the port closed while the equipment restarts
    file_done,   // the file's success on screen: the pause before the next file
    done,        // "#B_END" sent: the equipment restarts and drops the line
};
constexpr int phase_count = int(Phase::done) + 1;

enum class Input {
    // What the equipment said, framed.
    announcement,
    data_request,
    progress,
    reprogramming,
    reset,
    confirmation,
    failure,
    unknown,
    // The link.
    link_lost,
    // The clocks the shell runs for the session.
    reply_expired,
    guard_expired,
    silence_expired,
    silence_tick,
    wait_over,
    pause_over,
    line_taken,
    // What a command that can fail gave.
    rate_set,
    rate_refused,
    port_back,
    port_not_back,
    file_loaded,
    file_unreadable,
    // The operator.
    consent,
    disconnect,
    abandon,
    new_package,
    package_refused,
    package_opened,
};
constexpr int input_count = int(Input::package_opened) + 1;

enum class Timer { reply, guard, silence, tick, wait, pause };
constexpr int timer_count = int(Timer::pause) + 1;

// What the operator is shown, as a step of the update rather than a number to decode.
enum class Step { cleared, announced, sending, programming, finishing, file_done, package_done, failed };

struct File {
    int lines = 0;
    bool event_board = false; // restarts the equipment once confirmed
};

struct Event {
    Input input;
    QByteArray bytes;        // an answer as the equipment sent it
    std::vector<File> files; // package_opened
    QString why;             // disconnect: what stopped the run, when not the operator
    static Event answer(const QByteArray& bytes, bool noise);
};

struct Command {
    enum class Kind {
        send,
        send_line,
        set_rate,
        close_port,
        reopen_port,
        start_timer,
        stop_timer,
        load_file,
        release_file,
        remove_files,
        withdraw_consent,
        begin_run,
        show,
        silent_for,
        port_lost,
        end,
        note,
        note_timeout,
    };
    Kind kind;
    int value = 0; // the line, the rate, the milliseconds, the file, the progress, the seconds; a flag below
    Timer timer = Timer::reply;
    Step step = Step::cleared;
    EndClass end = EndClass::stopped;
    QByteArray token{};
    QString text{};     // what the operator reads, or a note for the log
    QString outcome{};  // the log's word on an ending, when it says more than the text
    bool quiet = false; // a wait left out of the log; a failed reopening left unsaid
    // The outcome comes back as an event: a new rate (always for reopening and loading). At most one command of a
    // list is answered, and it is the last, so that its answer meets the session it was asked by.
    bool answered = false;
};

class BootloaderSession
{
public:
    explicit BootloaderSession(const bootloader_protocol::Waits& waits = {}) : waits(waits) {}
    void set_waits(const bootloader_protocol::Waits& shorter) { waits = shorter; }
    const bootloader_protocol::Waits& protocol_waits() const { return waits; }

    // The commands the event calls for, in the order they are to be carried out. A command whose outcome comes back
    // as an event (a rate, a reopening, a file) is the last of its list.
    std::vector<Command> handle(const Event& event, qint64 now_ms);

    Phase phase() const { return current_phase; }
    // How many times the phase has changed: a rate may change only where it does.
    int phase_changes() const { return changes; }
    bool in_run() const;
    int file() const { return loaded + 1; } // the file loaded, from 1; 0 before any
    int files() const { return static_cast<int>(package.size()); }
    int pause_ms() const;
    // The least the update still needs: the lines still to send at the link's pause and the protocol's own waits
    // still ahead, a wait under way for what is left of it. -1 until the bootloader has announced its link.
    qint64 least_ms_left(qint64 now_ms) const;

    // How many rows of the protocol's table name the input in the phase: exactly one, for every cell.
    static int rows_for(Input input, Phase phase);

private:
    // The table of the protocol's decisions, and how many rows it has.
    static const void* table(int* rows);
    void dispatch(const Event& event);
    // The command just put, for the fields its kind has beyond a value and a text.
    Command& put(Command::Kind kind, int value = 0, const QString& text = QString());
    void send(const char* token) { put(Command::Kind::send).token = token; }
    void ask_rate(int baud) { put(Command::Kind::set_rate, baud).answered = true; }
    void show(Step step, const QString& text, int progress) { put(Command::Kind::show, progress, text).step = step; }
    void note(const QString& text) { put(Command::Kind::note, 0, text); }
    void ignore(const QString& what);
    void start(Timer timer, int ms, bool quiet = false);
    void stop(Timer timer);
    void enter(Phase phase);
    void tear_down();
    void finish(EndClass end, const QString& text, const QString& outcome);
    void end_run(EndClass end, const QString& text, bool link_gone = false);
    void stop_run(Input input, const QString& why);
    void start_file();
    void announce(const QByteArray& token);
    void send_file();
    void send_next_line();
    void show_progress(const QByteArray& token);
    void reset();
    void confirm();
    void link_lost(bool after_update);
    void tell_silence();
    void reopen();
    void retry(Input input);
    void loaded_file();
    void show_file_done();
    void next_file();

    bootloader_protocol::Waits waits;
    Phase current_phase = Phase::idle;
    int changes = 0;
    std::vector<File> package;
    int loaded = -1;    // the file loaded, from 0
    int lines_held = 0; // its lines still held for sending; 0 once spent or released
    int next_line = 0;
    int pace = 0; // the pause the bootloader's announcement asked for; 0 before any
    std::array<bool, timer_count> running{};
    qint64 now = 0;
    qint64 silent_since = 0;
    bool silence_told = false;
    // The link's old rule, kept: once the equipment has said a token on this port, a later start is no longer timed.
    bool token_heard = false;
    qint64 retry_since = -1;
    int retries = 0;
    qint64 wait_started = 0;
    int wait_length = 0;
    // What the equipment said during a protocol wait, handled after it, in order.
    std::deque<Event> held;
    std::vector<Command> out;
};

const char* phase_name(Phase phase);

} // namespace session

#endif // BOOTLOADER_SESSION_H
