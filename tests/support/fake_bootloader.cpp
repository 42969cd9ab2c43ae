#include "support/fake_bootloader.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace
{

using Clock = FakeBootloader::Clock;
using std::chrono::milliseconds;

// The program's tokens: six bytes with no terminator, unlike the data lines.
const QByteArray program_tokens[] = {QByteArrayLiteral("#B_STR"), QByteArrayLiteral("#B_END")};
constexpr char carriage_return = '\r';

// Room between two of our writes once the program has read the first: its link reads, then
// flushes the input, and a write landing in between would be lost.
constexpr int write_gap_ms = 5;
// A first look at whether the program has read a write comes no sooner than this.
constexpr int uptake_settle_ms = 1;
// The program sleeps up to 1000 ms after a confirmation without reading; a line nobody reads
// any more must not stall the script for ever.
constexpr int uptake_bound_ms = 2500;
// How often the thread looks at the stop flag when it has nothing else to do.
constexpr int idle_poll_ms = 50;
// Sampling period of the program's hold on the line while it is watched.
constexpr int watch_poll_ms = 1;

// FAKE_BOOTLOADER_TRACE=1 prints both directions of the line as they happen.
const bool tracing = qEnvironmentVariableIsSet("FAKE_BOOTLOADER_TRACE");

void trace(const char* direction, const QByteArray& bytes, int baud)
{
    if (!tracing)
        return;
    static const Clock::time_point start = Clock::now();
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    std::fprintf(stderr, "%10.3f ms %s %s (%d baud)\n", ms, direction, bytes.toPercentEncoding("#_").constData(), baud);
}

int baud_of(speed_t speed)
{
    switch (speed) {
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    default:
        return -1;
    }
}

int ms_until(Clock::time_point when, Clock::time_point now)
{
    if (when <= now)
        return 0;
    return static_cast<int>(std::chrono::duration_cast<milliseconds>(when - now).count()) + 1;
}

QByteArray link_target(const QByteArray& fd_path)
{
    char target[512];
    const ssize_t n = ::readlink(fd_path.constData(), target, sizeof target);
    return n > 0 ? QByteArray(target, static_cast<int>(n)) : QByteArray();
}

// Descriptors of this process open on the given device.
int descriptors_on(const QByteArray& device)
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return 0;
    int count = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        if (link_target(QByteArray("/proc/self/fd/") + QByteArray(entry->d_name)) == device)
            ++count;
    }
    ::closedir(dir);
    return count;
}

bool starts_with_token(const QByteArray& bytes, QByteArray* token)
{
    for (const QByteArray& candidate : program_tokens) {
        if (bytes.startsWith(candidate)) {
            *token = candidate;
            return true;
        }
    }
    return false;
}

// The head may be the beginning of a token whose rest is still on its way.
bool is_token_prefix(const QByteArray& bytes)
{
    for (const QByteArray& candidate : program_tokens) {
        if (bytes.size() < candidate.size() && candidate.startsWith(bytes))
            return true;
    }
    return false;
}

int first_token_after_head(const QByteArray& bytes)
{
    int first = -1;
    for (const QByteArray& candidate : program_tokens) {
        const int at = bytes.indexOf(candidate, 1);
        if (at > 0 && (first < 0 || at < first))
            first = at;
    }
    return first;
}

} // namespace

FakeBootloader::Reply& FakeBootloader::Reply::send(const QByteArray& bytes)
{
    steps.push_back({Step::Kind::send, bytes, 0, {}, {}});
    return *this;
}

FakeBootloader::Reply& FakeBootloader::Reply::send_progress(int byte)
{
    QByteArray report("#B_PR");
    report.append(static_cast<char>(byte));
    return send(report);
}

FakeBootloader::Reply& FakeBootloader::Reply::wait(int ms)
{
    steps.push_back({Step::Kind::wait, {}, ms, {}, {}});
    return *this;
}

FakeBootloader::Reply& FakeBootloader::Reply::hang_up()
{
    steps.push_back({Step::Kind::hang_up, {}, 0, {}, {}});
    return *this;
}

FakeBootloader::Reply& FakeBootloader::Reply::in_gui(QObject* context, std::function<void()> action)
{
    steps.push_back({Step::Kind::gui, {}, 0, context, std::move(action)});
    return *this;
}

FakeBootloader::FakeBootloader()
{
    if (!pty.is_valid())
        return;
    slave_link = link_target(QByteArray("/proc/self/fd/") + QByteArray::number(pty.slave()));
    own_slave_fds = descriptors_on(slave_link);
    if (::pipe(wake_pipe) != 0)
        wake_pipe[0] = wake_pipe[1] = -1;
    ::fcntl(wake_pipe[0], F_SETFL, ::fcntl(wake_pipe[0], F_GETFL) | O_NONBLOCK);
    next_step_at = Clock::now();
    worker = std::thread([this] { run(); });
}

FakeBootloader::~FakeBootloader()
{
    stopping = true;
    wake();
    if (worker.joinable())
        worker.join();
    for (int fd : wake_pipe) {
        if (fd >= 0)
            ::close(fd);
    }
}

int FakeBootloader::baud() const
{
    return baud_of(pty.slave_baud());
}

QByteArray FakeBootloader::announcement(Link link)
{
    return link == Link::usb ? QByteArrayLiteral("#B_USB") : QByteArrayLiteral("#B_UAR");
}

const QList<FakeBootloader::Failure>& FakeBootloader::failures()
{
    static const QList<Failure> all = {
        {"INV", "#B_INV", QString::fromUtf8("Arquivo Inválido!")},
        {"CRC", "#B_CRC", QString::fromUtf8("Erro de Checksum!")},
        {"ALC", "#B_ALC", QString::fromUtf8("Erro ao alocar memória!")},
        {"CAN", "#B_CAN", QString::fromUtf8("Barramento CAN desativado")},
        {"RES", "#B_RES", QString::fromUtf8("Falha de resposta do Equipamento")},
        {"FR A", "#B_FRA", QString::fromUtf8("Falha de resposta da placa da Rede")},
        {"FR B", "#B_FRB", QString::fromUtf8("Falha de resposta da placa da Carga")},
        {"FR C", "#B_FRC", QString::fromUtf8("Falha de resposta da placa Mestre")},
        {"FR D", "#B_FRD", QString::fromUtf8("Falha de resposta da placa dos Painéis")},
        {"FR E", "#B_FRE", QString::fromUtf8("Falha de resposta da placa da Bateria")},
        {"GRV", "#B_GRV", QString::fromUtf8("Erro na gravação!")},
        {"MEM", "#B_MEM", QString::fromUtf8("Erro ao limpar memória!")},
        {"SDC", "#B_SDC", QString::fromUtf8("Cartão SD ausente!")},
        {"SDF", "#B_SDF", QString::fromUtf8("Falha na operação de armazenamento interno!")},
        {"FTF", "#B_FTF", QString::fromUtf8("Falha na resposta do Display!")},
    };
    return all;
}

void FakeBootloader::on_token(const QByteArray& token, Reaction reaction)
{
    on_token(token, 0, std::move(reaction));
}

void FakeBootloader::on_token(const QByteArray& token, int occurrence, Reaction reaction)
{
    std::lock_guard<std::mutex> lock(mutex);
    token_rules.push_back({token, occurrence, std::move(reaction)});
}

void FakeBootloader::on_line(int file, int line, Reaction reaction)
{
    std::lock_guard<std::mutex> lock(mutex);
    line_rules.push_back({file, line, std::move(reaction)});
}

void FakeBootloader::on_each_line(std::function<void(int, int, Reply&)> reaction)
{
    std::lock_guard<std::mutex> lock(mutex);
    each_line_rules.push_back(std::move(reaction));
}

void FakeBootloader::act(const Reaction& reaction)
{
    Reply reply;
    reaction(reply);
    schedule(reply);
}

void FakeBootloader::request_data(Link link)
{
    on_token("#B_STR", [link](Reply& reply) { reply.send(announcement(link)).send("#B_MAX"); });
}

void FakeBootloader::accept_files(Link link, const QList<int>& line_counts)
{
    request_data(link);
    for (int file = 0; file < line_counts.size(); ++file) {
        on_line(file, line_counts.at(file),
                [](Reply& reply) { reply.send_progress(50).send_progress(90).send("#B_ENV").send("#B_BOK"); });
    }
}

void FakeBootloader::watch_line(bool on)
{
    watching = on;
    wake();
}

QList<FakeBootloader::Received> FakeBootloader::received() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return records;
}

QList<QByteArray> FakeBootloader::tokens() const
{
    QList<QByteArray> found;
    for (const Received& r : received()) {
        if (r.kind == Received::Kind::token)
            found.append(r.bytes);
    }
    return found;
}

int FakeBootloader::token_count(const QByteArray& token) const
{
    return static_cast<int>(tokens().count(token));
}

QList<QByteArray> FakeBootloader::lines(int file) const
{
    QList<QByteArray> found;
    for (const Received& r : line_records(file))
        found.append(r.bytes);
    return found;
}

QList<FakeBootloader::Received> FakeBootloader::line_records(int file) const
{
    QList<Received> found;
    for (const Received& r : received()) {
        if (r.kind == Received::Kind::line && r.file == file)
            found.append(r);
    }
    return found;
}

int FakeBootloader::line_count() const
{
    int count = 0;
    for (const Received& r : received()) {
        if (r.kind == Received::Kind::line)
            ++count;
    }
    return count;
}

QByteArray FakeBootloader::unterminated() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return incoming;
}

QList<FakeBootloader::Sent> FakeBootloader::sent() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return writes;
}

QList<FakeBootloader::LineChange> FakeBootloader::line_changes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return changes;
}

bool FakeBootloader::wait_for_token(const QByteArray& token, int timeout_ms, int occurrence)
{
    return QTest::qWaitFor([&] { return token_count(token) >= occurrence; }, timeout_ms);
}

bool FakeBootloader::wait_until_idle(int timeout_ms)
{
    return QTest::qWaitFor([&] { return idle.load(); }, timeout_ms);
}

void FakeBootloader::wake()
{
    if (wake_pipe[1] >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = ::write(wake_pipe[1], &byte, 1);
    }
}

void FakeBootloader::schedule(Reply& reply)
{
    if (reply.steps.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (Step& step : reply.steps)
            steps.push_back(std::move(step));
        idle = false;
    }
    wake();
}

void FakeBootloader::run()
{
    while (!stopping) {
        const Clock::time_point now = Clock::now();
        int timeout = idle_poll_ms;
        if (!idle)
            timeout = awaiting_uptake || gui_done ? watch_poll_ms : std::min(timeout, ms_until(next_step_at, now));
        if (watching)
            timeout = std::min(timeout, watch_poll_ms);

        pollfd descriptors[2] = {{wake_pipe[0], POLLIN, 0}, {pty.master(), POLLIN, 0}};
        const nfds_t count = pty.master() >= 0 ? 2 : 1;
        ::poll(descriptors, count, timeout);
        if (descriptors[0].revents & POLLIN) {
            char drained[64];
            while (::read(wake_pipe[0], drained, sizeof drained) > 0) {
            }
        }
        if (count == 2 && descriptors[1].revents)
            read_master();
        run_steps(Clock::now());
        if (watching)
            sample_line();
    }
}

void FakeBootloader::read_master()
{
    QByteArray bytes;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(pty.master(), chunk, sizeof chunk);
        if (n <= 0)
            break;
        bytes.append(chunk, static_cast<int>(n));
    }
    if (bytes.isEmpty())
        return;

    const Clock::time_point at = Clock::now();
    const int rate = baud();
    trace("<-", bytes, rate);
    std::vector<Reaction> triggered;
    std::vector<std::pair<std::function<void(int, int, Reply&)>, std::pair<int, int>>> each_line;
    {
        std::lock_guard<std::mutex> lock(mutex);
        incoming.append(bytes);
        while (!incoming.isEmpty()) {
            QByteArray token;
            if (starts_with_token(incoming, &token)) {
                incoming.remove(0, token.size());
                if (token == program_tokens[0]) {
                    ++current_file;
                    line_in_file = 0;
                }
                records.append({Received::Kind::token, token, current_file, 0, at, rate});
                const int arrival = ++token_arrivals[token];
                for (const TokenRule& rule : token_rules) {
                    if (rule.token == token && (rule.occurrence == 0 || rule.occurrence == arrival))
                        triggered.push_back(rule.reaction);
                }
                continue;
            }
            if (is_token_prefix(incoming))
                break;
            const int cr = incoming.indexOf(carriage_return);
            const int next_token = first_token_after_head(incoming);
            if (next_token > 0 && (cr < 0 || next_token < cr)) {
                records.append({Received::Kind::stray, incoming.left(next_token), current_file, 0, at, rate});
                incoming.remove(0, next_token);
                continue;
            }
            if (cr < 0)
                break;
            ++line_in_file;
            records.append({Received::Kind::line, incoming.left(cr + 1), current_file, line_in_file, at, rate});
            incoming.remove(0, cr + 1);
            for (const LineRule& rule : line_rules) {
                if (rule.file == current_file && rule.line == line_in_file)
                    triggered.push_back(rule.reaction);
            }
            for (const auto& rule : each_line_rules)
                each_line.push_back({rule, {current_file, line_in_file}});
        }
    }

    // Reactions run unlocked: they may read the records themselves.
    for (const Reaction& reaction : triggered) {
        Reply reply;
        reaction(reply);
        schedule(reply);
    }
    for (const auto& [reaction, where] : each_line) {
        Reply reply;
        reaction(where.first, where.second, reply);
        schedule(reply);
    }
}

void FakeBootloader::run_steps(Clock::time_point now)
{
    for (;;) {
        if (awaiting_uptake) {
            if (now < uptake_checked_at)
                return;
            if (!program_took_input() && now < uptake_deadline && pty.master() >= 0)
                return;
            // Only a write that the program has read can be eaten by its flush.
            flush_ahead = program_took_input();
            awaiting_uptake = false;
            next_step_at = Clock::now() + milliseconds(write_gap_ms);
        }
        if (gui_done) {
            if (!*gui_done && now < uptake_deadline)
                return;
            gui_done.reset();
        }
        if (now < next_step_at)
            return;

        Step step;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (steps.empty()) {
                idle = true;
                return;
            }
            // The program reads, then flushes its input, in one go on its GUI thread: once that
            // thread has been back to its event loop, the flush is behind us and cannot eat our
            // next write, however long the thread was held up in between. Other steps (a hang-up
            // while the program sleeps, say) must not wait for it.
            if (flush_ahead && steps.front().kind == Step::Kind::send && QCoreApplication::instance()) {
                flush_ahead = false;
                auto passed = std::make_shared<std::atomic<bool>>(false);
                gui_done = passed;
                uptake_deadline = Clock::now() + milliseconds(uptake_bound_ms);
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(), [passed] { *passed = true; }, Qt::QueuedConnection);
                continue;
            }
            flush_ahead = false;
            step = std::move(steps.front());
            steps.pop_front();
        }

        switch (step.kind) {
        case Step::Kind::send: {
            const int rate = baud();
            const Clock::time_point at = Clock::now();
            pty.write(step.bytes);
            trace("->", step.bytes, rate);
            {
                std::lock_guard<std::mutex> lock(mutex);
                writes.append({step.bytes, at, rate});
            }
            awaiting_uptake = true;
            uptake_checked_at = at + milliseconds(uptake_settle_ms);
            uptake_deadline = at + milliseconds(uptake_bound_ms);
            break;
        }
        case Step::Kind::wait:
            next_step_at = Clock::now() + milliseconds(step.ms);
            break;
        case Step::Kind::hang_up:
            trace("--", "hang up", baud());
            pty.hang_up();
            break;
        case Step::Kind::gui: {
            QObject* context = step.context.data();
            if (!context)
                break;
            auto done = std::make_shared<std::atomic<bool>>(false);
            gui_done = done;
            uptake_deadline = Clock::now() + milliseconds(uptake_bound_ms);
            // Posted, not called: the context lives on another thread and is dropped with its events.
            QMetaObject::invokeMethod(
                context,
                [done, action = std::move(step.action)] {
                    action();
                    *done = true;
                },
                Qt::QueuedConnection);
            break;
        }
        }
        now = Clock::now();
    }
}

bool FakeBootloader::program_took_input() const
{
    // Not FIONREAD: the kernel hands bytes written to the master on to the slave from a worker,
    // and until then FIONREAD says 0 as if the program had read them (seen 2 times in 2000 right
    // after a write, more often on a loaded machine). Polling the slave waits for that hand-over.
    pollfd probe{pty.slave(), POLLIN, 0};
    return ::poll(&probe, 1, 0) >= 0 && !(probe.revents & POLLIN);
}

bool FakeBootloader::program_holds_line() const
{
    return descriptors_on(slave_link) > own_slave_fds;
}

void FakeBootloader::sample_line()
{
    const bool open = program_holds_line();
    std::lock_guard<std::mutex> lock(mutex);
    if (changes.isEmpty() || changes.last().open != open)
        changes.append({open, Clock::now()});
}
