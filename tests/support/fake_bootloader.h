#ifndef FAKE_BOOTLOADER_H
#define FAKE_BOOTLOADER_H

#include "support/pty_pair.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// The equipment's bootloader, played on the master side of a pseudo-terminal from a thread of its
// own, so it keeps answering while the GUI thread sleeps or spins a local event loop. A test gives
// it a script (reactions to what it receives) and afterwards reads what the program wrote, parsed
// into tokens and CR-terminated lines, each stamped with its arrival time and the line's baud rate.
class FakeBootloader
{
public:
    using Clock = std::chrono::steady_clock;

    enum class Link { usb, uart };

    // One piece of what the program wrote.
    struct Received {
        enum class Kind {
            token, // "#B_STR" or "#B_END": six bytes without terminator
            line,  // data up to and including its CR
            stray, // bytes without CR cut short by a token: a line sent without its end
        };
        Kind kind;
        QByteArray bytes;
        int file; // 0 for the data after the first "#B_STR", -1 before any
        int line; // 1-based index of a data line within its file, 0 for the rest
        Clock::time_point at;
        int baud; // the line's rate when the bytes were read
    };

    // One write of the simulator to the program.
    struct Sent {
        QByteArray bytes;
        Clock::time_point at;
        int baud;
    };

    // A change of whether the program holds the line open (see watch_line).
    struct LineChange {
        bool open;
        Clock::time_point at;
    };

    // What a reaction asks the simulator to do, in order. Steps run on the simulator thread while
    // it keeps reading, so a slow script never delays the time stamps of what it receives.
    class Reply
    {
    public:
        // One write. The next step waits until the program has taken these bytes from the line
        // and a short gap has passed: the program's link reads whatever is waiting and throws
        // away the rest, so two writes must never reach it as one.
        Reply& send(const QByteArray& bytes);
        // "#B_PR" followed by the raw byte.
        Reply& send_progress(int byte);
        // The next step starts this much later.
        Reply& wait(int ms);
        // Closes the master: the equipment is gone and the program's line hangs up.
        Reply& hang_up();
        // Runs in the context's thread at its next event dispatch (for a widget: on the GUI thread,
        // inside a transmission's pause too), and not at all once the context is gone. The next
        // step waits until it has run.
        Reply& in_gui(QObject* context, std::function<void()> action);

    private:
        friend class FakeBootloader;
        struct Step {
            enum class Kind { send, wait, hang_up, gui } kind;
            QByteArray bytes;
            int ms = 0;
            QPointer<QObject> context;
            std::function<void()> action;
        };
        std::vector<Step> steps;
    };

    using Reaction = std::function<void(Reply&)>;

    FakeBootloader();
    ~FakeBootloader();
    FakeBootloader(const FakeBootloader&) = delete;
    FakeBootloader& operator=(const FakeBootloader&) = delete;

    bool is_valid() const { return pty.is_valid(); }
    // The line whose slave end the program opens as its serial port.
    const PtyPair& terminal() const { return pty; }
    int baud() const;

    // Script. Reactions run on the simulator thread, in the order they were added.
    // Each arrival of the token.
    void on_token(const QByteArray& token, Reaction reaction);
    // Only the n-th arrival (from 1) of the token.
    void on_token(const QByteArray& token, int occurrence, Reaction reaction);
    // When the line-th data line (from 1) of the file (from 0) has arrived.
    void on_line(int file, int line, Reaction reaction);
    // After every data line.
    void on_each_line(std::function<void(int file, int line, Reply&)> reaction);
    // Now: the steps are queued behind whatever is still running.
    void act(const Reaction& reaction);

    // At each "#B_STR": announces the link and asks for the data.
    void request_data(Link link);
    // A bootloader that takes every file: request_data(link), and after the last line of file k
    // (line_counts[k] lines) reports progress 50 and 90, "#B_ENV" and confirms with "#B_BOK".
    void accept_files(Link link, const QList<int>& line_counts);

    static QByteArray announcement(Link link);

    struct Failure {
        const char* name;
        QByteArray reply;
        QString text; // what the operator must be shown
    };
    // Every failure the equipment reports by a token of its own.
    static const QList<Failure>& failures();

    // While on, records every time the program opens or closes its end of the line.
    void watch_line(bool on);

    // Records, safe to read from any thread while the simulator runs.
    QList<Received> received() const;
    QList<QByteArray> tokens() const;
    int token_count(const QByteArray& token) const;
    // The data lines of one file, in order of arrival.
    QList<QByteArray> lines(int file) const;
    QList<Received> line_records(int file) const;
    int line_count() const;
    // Bytes that arrived without their CR so far.
    QByteArray unterminated() const;
    QList<Sent> sent() const;
    QList<LineChange> line_changes() const;

    // Waits, pumping the GUI thread's events, until the condition holds or the time is up.
    bool wait_for_token(const QByteArray& token, int timeout_ms, int occurrence = 1);
    // Until every queued step has run.
    bool wait_until_idle(int timeout_ms);

private:
    struct TokenRule {
        QByteArray token;
        int occurrence; // 0: every arrival
        Reaction reaction;
    };
    struct LineRule {
        int file;
        int line;
        Reaction reaction;
    };
    using Step = Reply::Step;

    void run();
    void read_master();
    void parse();
    void record(Received::Kind kind, const QByteArray& bytes);
    void schedule(Reply& reply);
    void run_steps(Clock::time_point now);
    bool program_took_input() const;
    bool program_holds_line() const;
    void sample_line();
    void wake();

    PtyPair pty;
    int wake_pipe[2] = {-1, -1};
    QByteArray slave_link; // the slave path as /proc/self/fd shows it
    int own_slave_fds = 0; // descriptors on the slave held by the simulator itself

    mutable std::mutex mutex;
    // Guarded by mutex.
    std::vector<TokenRule> token_rules;
    std::vector<LineRule> line_rules;
    std::vector<std::function<void(int, int, Reply&)>> each_line_rules;
    std::deque<Step> steps;
    QList<Received> records;
    QList<Sent> writes;
    QList<LineChange> changes;
    QByteArray incoming;
    std::map<QByteArray, int> token_arrivals;
    int current_file = -1;
    int line_in_file = 0;

    // Simulator thread only.
    Clock::time_point next_step_at;
    bool awaiting_uptake = false;
    bool flush_ahead = false; // the program's flush of a read write may still be to come
    Clock::time_point uptake_checked_at;
    Clock::time_point uptake_deadline;
    std::shared_ptr<std::atomic<bool>> gui_done;

    // No step queued or under way.
    std::atomic<bool> idle{true};
    std::atomic<bool> watching{false};
    std::atomic<bool> stopping{false};
    std::thread worker;
};

inline double ms_between(FakeBootloader::Clock::time_point from, FakeBootloader::Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

#endif // FAKE_BOOTLOADER_H
