#include "equipment/equipment_simulator.h"

#include "link/serial.h"
#include "rules/bootloader_protocol.h"
#include "rules/firmware_rules.h"

#include <QDebug>
#include <QSerialPort>
#include <QSocketNotifier>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#ifdef Q_OS_MACOS
#include <util.h>
#else
#include <pty.h>
#endif
#endif

namespace
{

namespace protocol = bootloader_protocol;

const QByteArray start_token = protocol::start_token;
const QByteArray end_token = protocol::end_token;
const QByteArray data_request = protocol::data_request;
constexpr char carriage_return = '\r';

using firmware_rules::header_lines;
using firmware_rules::line_count_line;
// The tenths of a file reported while it arrives stop here: the last steps belong to the programming.
constexpr int transfer_progress_cap = protocol::last_sending_progress;
constexpr int programming_progress = protocol::reprogramming_progress;

constexpr qint32 base_baud = Serial::base_baud_rate;
constexpr qint32 uart_baud = protocol::uart_data_baud_rate;

// How soon to look again whether the program took a write: a real device's next message follows at
// once, so the look must not wait for the program's own next timer.
constexpr qint64 recheck_ns = 200 * 1000;
// A write the program does not read (its port closed) must not hold the queue for ever.
constexpr int uptake_bound_ms = 3000;
// The program sleeps on its own thread (up to 5 s after confirming an event file), which is ours too: a check
// that comes that late counts as this much, so the program's sleep never passes for a write nobody reads.
constexpr int uptake_slice_cap_ms = 20;
// On a real port the far side's read cannot be seen: leave the line quiet this long after the bytes are out.
constexpr int port_gap_ms = 20;
// A pseudo-terminal carries bytes whatever the two ends' rates, where a wire would turn them into noise. A program
// a moment late with its rate (put aside by a loaded machine) is given this long before its line turns to noise.
// Scripted replies are the script's own: it says what the line carries.
constexpr qint64 rate_grace_ns = 200 * 1000 * 1000;
constexpr qint64 ns_per_ms = 1000000;
// An FTDI adapter's default latency timer: a packet that is not full goes out this long after its first byte.
constexpr qint64 adapter_latency_ns = 16 * ns_per_ms;

bool starts_with_token(const QByteArray& bytes, QByteArray* token)
{
    for (const QByteArray& candidate : {start_token, end_token}) {
        if (bytes.startsWith(candidate)) {
            *token = candidate;
            return true;
        }
    }
    return false;
}

bool is_token_prefix(const QByteArray& bytes)
{
    for (const QByteArray& candidate : {start_token, end_token}) {
        if (bytes.size() < candidate.size() && candidate.startsWith(bytes))
            return true;
    }
    return false;
}

int first_token_after_head(const QByteArray& bytes)
{
    int first = -1;
    for (const QByteArray& candidate : {start_token, end_token}) {
        const int at = bytes.indexOf(candidate, 1);
        if (at > 0 && (first < 0 || at < first))
            first = at;
    }
    return first;
}

QByteArray progress(int percent)
{
    return QByteArray(protocol::progress_report) + QByteArray(1, static_cast<char>(percent));
}

QByteArray field_of(const QByteArray& line)
{
    return line.endsWith(carriage_return) ? line.left(line.size() - 1) : line;
}

#ifdef Q_OS_UNIX
qint32 rate_of(speed_t speed)
{
    struct Rate {
        speed_t code;
        qint32 rate;
    };
    static const Rate rates[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},    {B19200, 19200},
                                 {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400}};
    for (const Rate& entry : rates) {
        if (entry.code == speed)
            return entry.rate;
    }
    return 0;
}
#endif

} // namespace

EquipmentSimulator::EquipmentSimulator() : EquipmentSimulator(Options()) {}

EquipmentSimulator::EquipmentSimulator(const Options& options, QObject* parent) : QObject(parent), options(options)
{
    qRegisterMetaType<EquipmentSimulator::Received>();
    qRegisterMetaType<EquipmentSimulator::FileReport>();
    clock.start();
    quiet_timer.setSingleShot(true);
    connect(&quiet_timer, &QTimer::timeout, this, [this] { check_file(true); });
    connect(&pump_timer, &LinePacer::due, this, &EquipmentSimulator::pump);
}

EquipmentSimulator::~EquipmentSimulator()
{
    hang_up();
#ifdef Q_OS_UNIX
    if (slave_fd >= 0)
        ::close(slave_fd);
#endif
}

bool EquipmentSimulator::open_pty()
{
#ifdef Q_OS_UNIX
    if (master_fd >= 0 || port)
        return false;
    char name[256] = {};
    if (::openpty(&master_fd, &slave_fd, name, nullptr, nullptr) != 0) {
        master_fd = slave_fd = -1;
        return false;
    }
    path = QString::fromLocal8Bit(name);
    // The equipment's end passes bytes through untouched, like the far end of a wire, and the line starts at the
    // rate a program connects at.
    termios raw{};
    ::tcgetattr(slave_fd, &raw);
    ::cfmakeraw(&raw);
    ::cfsetispeed(&raw, B19200);
    ::cfsetospeed(&raw, B19200);
    ::tcsetattr(slave_fd, TCSANOW, &raw);
    equipment_baud = base_baud;
    ::fcntl(master_fd, F_SETFL, ::fcntl(master_fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(master_fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_fd, F_SETFD, FD_CLOEXEC);
    notifier = new QSocketNotifier(master_fd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &EquipmentSimulator::read_line_side);
    return true;
#else
    return false;
#endif
}

QString EquipmentSimulator::port_path() const
{
    return path;
}

bool EquipmentSimulator::open_port(const QString& name, QString* why)
{
    if (master_fd >= 0 || port)
        return false;
    port = new QSerialPort(name, this);
    port->setBaudRate(base_baud);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    port->setFlowControl(QSerialPort::NoFlowControl);
    if (!port->open(QIODevice::ReadWrite)) {
        if (why)
            *why = port->errorString();
        delete port;
        port = nullptr;
        return false;
    }
    path = name;
    connect(port, &QIODevice::readyRead, this, &EquipmentSimulator::read_line_side);
    return true;
}

qint32 EquipmentSimulator::line_baud() const
{
    if (port)
        return port->baudRate();
#ifdef Q_OS_UNIX
    if (slave_fd >= 0) {
        termios settings{};
        if (::tcgetattr(slave_fd, &settings) == 0)
            return rate_of(::cfgetospeed(&settings));
    }
#endif
    return 0;
}

void EquipmentSimulator::send(const QByteArray& bytes)
{
    if (hung_up)
        return;
    queue(Outgoing::Kind::bytes, bytes);
}

void EquipmentSimulator::hang_up()
{
    hung_up = true;
    outgoing.clear();
    stream.clear();
    pump_timer.stop();
    quiet_timer.stop();
    awaiting_uptake = false;
    if (port)
        port->close();
#ifdef Q_OS_UNIX
    // A hang-up may come from inside the notifier's own signal.
    if (notifier) {
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    }
    if (master_fd >= 0)
        ::close(master_fd);
    master_fd = -1;
#endif
}

bool EquipmentSimulator::is_hung_up() const
{
    return hung_up;
}

const QList<EquipmentSimulator::Received>& EquipmentSimulator::received() const
{
    return records;
}

QList<QByteArray> EquipmentSimulator::tokens() const
{
    QList<QByteArray> found;
    for (const Received& item : records) {
        if (item.kind == Received::Kind::token)
            found.append(item.bytes);
    }
    return found;
}

QList<QByteArray> EquipmentSimulator::lines_of(int file) const
{
    QList<QByteArray> found;
    for (const Received& item : records) {
        if (item.kind == Received::Kind::line && item.file == file)
            found.append(item.bytes);
    }
    return found;
}

const QList<EquipmentSimulator::FileReport>& EquipmentSimulator::reports() const
{
    return file_reports;
}

const QList<EquipmentSimulator::Sent>& EquipmentSimulator::sent() const
{
    return writes;
}

qint64 EquipmentSimulator::elapsed_ns() const
{
    return clock.nsecsElapsed();
}

void EquipmentSimulator::read_line_side()
{
    QByteArray bytes;
    if (port) {
        bytes = port->readAll();
    }
#ifdef Q_OS_UNIX
    else if (master_fd >= 0) {
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(master_fd, chunk, sizeof chunk);
            if (n > 0) {
                bytes.append(chunk, static_cast<int>(n));
                continue;
            }
            // With our own slave descriptor held the master never sees the line close; any other failure would
            // only make the notifier fire again at once.
            if (n < 0 && errno != EAGAIN && errno != EINTR && notifier)
                notifier->setEnabled(false);
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
    }
#endif
    if (!bytes.isEmpty())
        parse(bytes, clock.nsecsElapsed(), line_baud());
}

void EquipmentSimulator::parse(const QByteArray& bytes, qint64 at_ns, qint32 baud)
{
    incoming.append(bytes);
    while (!incoming.isEmpty()) {
        QByteArray token;
        if (starts_with_token(incoming, &token)) {
            incoming.remove(0, token.size());
            if (token == start_token) {
                // A file the program gave up on mid-way is still judged, on what arrived.
                if (options.automatic && phase == Phase::receiving)
                    check_file(false);
                ++current_file;
                line_in_file = 0;
                file_bytes = 0;
            }
            record({Received::Kind::token, token, current_file, 0, at_ns, baud});
            continue;
        }
        if (is_token_prefix(incoming))
            break;
        const int cr = incoming.indexOf(carriage_return);
        const int next_token = first_token_after_head(incoming);
        if (next_token > 0 && (cr < 0 || next_token < cr)) {
            const QByteArray stray = incoming.left(next_token);
            incoming.remove(0, next_token);
            file_bytes += stray.size();
            record({Received::Kind::stray, stray, current_file, 0, at_ns, baud});
            continue;
        }
        if (cr < 0)
            break;
        const QByteArray line = incoming.left(cr + 1);
        incoming.remove(0, cr + 1);
        file_bytes += line.size();
        record({Received::Kind::line, line, current_file, ++line_in_file, at_ns, baud});
    }
}

void EquipmentSimulator::record(const Received& item)
{
    records.append(item);
    if (options.automatic)
        answer(item);
    emit got(item);
    if (item.kind == Received::Kind::token && item.bytes == end_token)
        emit finished();
}

void EquipmentSimulator::answer(const Received& item)
{
    if (item.kind == Received::Kind::token) {
        if (item.bytes == end_token) {
            if (phase == Phase::receiving)
                check_file(false);
            phase = Phase::idle;
            return;
        }
        if (options.silent_file >= 0 && item.file >= options.silent_file) {
            if (!silent)
                inject(QStringLiteral("silent from file %1 on").arg(item.file + 1));
            silent = true;
            phase = Phase::idle;
            return;
        }
        phase = Phase::announced;
        expected_data_lines = -1;
        last_tenth = 0;
        send(options.link == Link::usb ? protocol::usb_announcement : protocol::uart_announcement);
        if (options.link == Link::uart)
            queue(Outgoing::Kind::rate, QByteArray(), uart_baud);
        queue(Outgoing::Kind::pause, QByteArray(), options.data_request_ms);
        send(data_request);
        return;
    }
    if (phase != Phase::announced && phase != Phase::receiving)
        return;
    if (item.kind == Received::Kind::stray) {
        quiet_timer.start(options.quiet_ms);
        return;
    }
    answer_line(item);
}

void EquipmentSimulator::answer_line(const Received& item)
{
    quiet_timer.start(options.quiet_ms);
    if (item.line == line_count_line) {
        bool ok = false;
        const int count = field_of(item.bytes).toInt(&ok, 16);
        expected_data_lines = ok ? count : -1;
    }
    if (item.file == options.hang_up_file && item.line == options.hang_up_after_line) {
        phase = Phase::done;
        hang_up();
        inject(QStringLiteral("link lost after file %1 line %2").arg(item.file + 1).arg(item.line));
        return;
    }
    if (item.file == options.fail_file && item.line == options.fail_after_line) {
        phase = Phase::done;
        quiet_timer.stop();
        send(options.fail_token);
        queue(Outgoing::Kind::rate, QByteArray(), base_baud);
        // One pass over the pattern: a '%' in the token is the technician's, not a place to fill.
        inject(QStringLiteral("%1 after file %2 line %3")
                   .arg(QString::fromLatin1(options.fail_token), QString::number(item.file + 1),
                        QString::number(item.line)));
        return;
    }
    if (item.line < header_lines || expected_data_lines < 0)
        return;
    const qint64 data_line = item.line - header_lines;
    if (data_line > 0 && expected_data_lines > 0) {
        const int tenth = static_cast<int>(data_line * 10 / expected_data_lines);
        if (tenth > last_tenth && tenth < 10) {
            last_tenth = tenth;
            send(progress(std::min(tenth * 10, transfer_progress_cap)));
        }
    }
    if (data_line >= expected_data_lines)
        check_file(true);
}

void EquipmentSimulator::check_file(bool reply)
{
    quiet_timer.stop();
    if (phase != Phase::announced && phase != Phase::receiving)
        return;
    phase = Phase::done;

    FileReport report;
    report.file = current_file;
    const QList<QByteArray> lines = lines_of(current_file);
    report.lines = lines.size();
    report.bytes = file_bytes;
    if (lines.size() > 1 && field_of(lines.at(1)).size() == 1)
        report.board = lines.at(1).at(0);
    report.problems = firmware_rules::check_received(lines);
    file_reports.append(report);
    emit file_checked(report);
    if (!reply)
        return;

    if (!report.problems.isEmpty()) {
        send(protocol::invalid_file);
    } else {
        send(progress(programming_progress));
        send(protocol::reprogramming_report);
        if (current_file == options.reset_file) {
            send(protocol::reset_request);
            queue(Outgoing::Kind::rate, QByteArray(), base_baud);
            queue(Outgoing::Kind::pause, QByteArray(), options.reset_ms);
            inject(QStringLiteral("reset after file %1").arg(current_file + 1));
        }
        send(protocol::file_confirmed);
    }
    queue(Outgoing::Kind::rate, QByteArray(), base_baud);
}

void EquipmentSimulator::inject(const QString& what)
{
    emit fault_injected(what);
}

void EquipmentSimulator::queue(Outgoing::Kind kind, const QByteArray& bytes, int ms)
{
    outgoing.append({kind, bytes, ms});
    if (!pump_timer.is_active())
        pump();
}

void EquipmentSimulator::pump()
{
    pump_timer.stop();
    while (!hung_up) {
        const qint64 now = clock.nsecsElapsed();
        if (awaiting_uptake) {
            if (!line_taken()) {
                uptake_waited_ns += std::min<qint64>(now - last_check_ns, uptake_slice_cap_ms * ns_per_ms);
                last_check_ns = now;
                if (uptake_waited_ns < uptake_bound_ms * ns_per_ms) {
                    pump_timer.start_ns(recheck_ns);
                    return;
                }
            }
            awaiting_uptake = false;
        }
        if (now < pause_until_ns) {
            pump_timer.start_ns(pause_until_ns - now);
            return;
        }
        const int packet = options.packet_bytes;
        while ((packet > 0 || stream.isEmpty()) && !outgoing.isEmpty() &&
               outgoing.first().kind == Outgoing::Kind::bytes) {
            const QByteArray bytes = outgoing.takeFirst().bytes;
            if (stream.isEmpty())
                stream_since_ns = now;
            stream += bytes;
            if (bytes == data_request && phase == Phase::announced) {
                phase = Phase::receiving;
                quiet_timer.start(options.quiet_ms);
            }
            if (packet <= 0)
                break;
        }
        if (!stream.isEmpty()) {
            // An adapter holds a short packet back until its latency runs out, unless the equipment goes quiet
            // on purpose (a pause, a change of rate) right behind it.
            const bool hold = packet > 0 && stream.size() < packet && outgoing.isEmpty();
            if (hold && now < stream_since_ns + adapter_latency_ns) {
                pump_timer.start_ns(stream_since_ns + adapter_latency_ns - now);
                return;
            }
            QByteArray piece = packet > 0 ? stream.left(packet) : stream;
            if (!port && options.automatic && options.link == Link::uart && line_baud() != equipment_baud) {
                if (mismatch_since_ns < 0)
                    mismatch_since_ns = now;
                if (now - mismatch_since_ns < rate_grace_ns) {
                    pump_timer.start_ns(recheck_ns);
                    return;
                }
                qWarning().noquote() << QStringLiteral("Sent at %1 baud to a program listening at %2: noise to it.")
                                            .arg(equipment_baud)
                                            .arg(line_baud());
                piece.fill('\xff');
            }
            mismatch_since_ns = -1;
            const qint64 written = write_line(piece);
            if (written < 0) {
                stream.remove(0, piece.size());
                continue;
            }
            stream.remove(0, static_cast<int>(written));
            stream_since_ns = now;
            if (written < piece.size()) {
                // The line's buffer is full; the program empties it from this same loop, so come back later.
                pump_timer.start_ns(recheck_ns);
                return;
            }
            writes.append({piece, now});
            awaiting_uptake = true;
            uptake_waited_ns = 0;
            last_check_ns = written_at_ns = now;
            last_write_bytes = piece.size();
            continue;
        }
        if (outgoing.isEmpty())
            return;
        const Outgoing item = outgoing.takeFirst();
        switch (item.kind) {
        case Outgoing::Kind::bytes:
            break;
        case Outgoing::Kind::pause:
            pause_until_ns = now + item.ms * ns_per_ms;
            break;
        case Outgoing::Kind::rate:
            set_port_rate(item.ms);
            break;
        }
    }
}

qint64 EquipmentSimulator::write_line(const QByteArray& bytes)
{
    if (port)
        return port->write(bytes);
#ifdef Q_OS_UNIX
    qint64 done = 0;
    while (master_fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(master_fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            return n < 0 && errno == EAGAIN ? done : -1;
    }
    return done;
#else
    return -1;
#endif
}

bool EquipmentSimulator::line_taken() const
{
    if (port) {
        const qint64 line_ms = last_write_bytes * 10 * 1000 / std::max<qint32>(port->baudRate(), 1);
        return port->bytesToWrite() == 0 && clock.nsecsElapsed() - written_at_ns >= (line_ms + port_gap_ms) * ns_per_ms;
    }
#ifdef Q_OS_UNIX
    // Not FIONREAD: the kernel hands bytes written to the master on to the slave from a worker, and until then
    // FIONREAD says 0 as if the program had read them. Polling the slave waits for that hand-over.
    if (slave_fd >= 0 && master_fd >= 0) {
        pollfd probe{slave_fd, POLLIN, 0};
        return ::poll(&probe, 1, 0) >= 0 && !(probe.revents & POLLIN);
    }
#endif
    return true;
}

void EquipmentSimulator::set_port_rate(qint32 rate)
{
    equipment_baud = rate;
    if (port)
        port->setBaudRate(rate);
}
