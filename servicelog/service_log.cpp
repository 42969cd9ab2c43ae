#include "servicelog/service_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTime>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

Q_LOGGING_CATEGORY(vkt_link, "vkt.link", QtInfoMsg)

namespace
{

const char* const file_prefix = "update_";
const char* const file_suffix = ".log";
// Exactly the names open_file() gives: another program's "update_notes.log" beside them is not ours to remove.
const char* const own_file_pattern = "^update_\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d-\\d{3}(_\\d+)?\\.log$";
// NTP corrects a drifting clock by seconds; a file stamped further ahead than this was written under a clock
// set wrong by hand.
constexpr qint64 clock_step_tolerance_ms = 60 * 60 * 1000;
// Room kept under a file's cap so that the summary and the outcome still fit once the trace has
// been cut.
constexpr qint64 closing_reserve_bytes = 1024;
// A write to the disk can stall for several milliseconds on a busy machine (measured: up to
// 16 ms for 16 KB), longer than the pause between two lines, so the update's thread only ever
// appends to memory. The writer thread takes what has gathered this often, or sooner when the
// program enters one of the protocol's own pauses.
constexpr std::chrono::milliseconds writer_period(200);
constexpr int wake_writer_wait_ms = 100;
// Device chunks are a token or two; anything longer is noise worth seeing only in part.
constexpr int received_bytes_shown = 64;

void append_escape(QByteArray& out, char byte)
{
    static const char digits[] = "0123456789abcdef";
    const auto c = static_cast<unsigned char>(byte);
    out.append("\\x");
    out.append(digits[c >> 4]);
    out.append(digits[c & 0xf]);
}

QByteArray printable(const QByteArray& bytes)
{
    QByteArray out;
    out.reserve(bytes.size() + 16);
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c >= 0x20 && c < 0x7f && c != '\\')
            out.append(byte);
        else
            append_escape(out, byte);
    }
    return out;
}

// How many bytes at `at` make one character that must not reach the file as it is: a control character
// (C0, DEL, C1), a Unicode line or paragraph separator, or the backslash that begins an escape; 0 for any other.
int unsafe_run(const QByteArray& utf8, int at)
{
    const auto byte = [&utf8](int i) { return i < utf8.size() ? static_cast<unsigned char>(utf8.at(i)) : 0; };
    const unsigned char c = byte(at);
    if (c < 0x20 || c == 0x7f || c == '\\')
        return 1;
    if (c == 0xc2 && byte(at + 1) >= 0x80 && byte(at + 1) <= 0x9f)
        return 2;
    if (c == 0xe2 && byte(at + 1) == 0x80 && (byte(at + 2) == 0xa8 || byte(at + 2) == 0xa9))
        return 3;
    return 0;
}

// Names come from the operator's disk and the system: a package named with a line feed would otherwise start a
// line of its own that reads like one of the program's. Other text, accents included, stays readable.
QByteArray escaped(const QByteArray& utf8)
{
    QByteArray out;
    out.reserve(utf8.size());
    for (int i = 0; i < utf8.size();) {
        const int run = unsafe_run(utf8, i);
        if (run == 0) {
            out.append(utf8.at(i++));
            continue;
        }
        for (const int end = i + run; i < end; ++i)
            append_escape(out, utf8.at(i));
    }
    return out;
}

// Cut at a character's start, so that the cut line still reads as UTF-8.
QByteArray cut_utf8(const QByteArray& text, int bytes)
{
    if (text.size() <= bytes)
        return text;
    while (bytes > 0 && (static_cast<unsigned char>(text.at(bytes)) & 0xc0) == 0x80)
        --bytes;
    return text.left(bytes);
}

void warn_unwritable(const QString& folder, const QString& why)
{
    qCWarning(vkt_link).noquote() << QStringLiteral(
                                         "The service log cannot be written in %1 (%2); the update goes on without it.")
                                         .arg(QDir::toNativeSeparators(folder), why);
}

} // namespace

// What the update's thread hands over: formatting is left to the writer, so that a line sent
// costs the update a copy of its first bytes and nothing more.
struct ServiceLog::Record {
    int ms_of_day;
    const char* kind;
    QByteArray detail;
    // Bytes that crossed the line: their full size, of which `detail` holds the first few.
    int byte_count = -1;
    // The summary and the outcome are what support reads first: kept even in a trace cut short.
    bool closing = false;

    QByteArray line() const
    {
        char stamp[32];
        const int ms = ms_of_day;
        std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", ms / 3600000, ms / 60000 % 60, ms / 1000 % 60,
                      ms % 1000);
        QByteArray text = QByteArray(stamp) + kind;
        if (byte_count >= 0) {
            text += ' ' + QByteArray::number(byte_count) + " B " + printable(detail);
            if (byte_count > detail.size())
                text += " ...";
        } else if (!detail.isEmpty()) {
            const QByteArray shown = escaped(detail);
            text += ' ' + (closing ? cut_utf8(shown, static_cast<int>(closing_reserve_bytes) / 2) : shown);
        }
        return text;
    }
};

// Owns the open file of one update; everything but append() and wake() runs on its own thread.
class ServiceLog::Writer
{
public:
    Writer(std::unique_ptr<QFile> opened, const QString& folder)
        : file(std::move(opened)), folder(folder), thread([this] { run(); })
    {
    }

    ~Writer()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        woken.notify_one();
        thread.join();
    }

    void append(Record&& record)
    {
        const std::lock_guard<std::mutex> lock(mutex);
        pending.push_back(std::move(record));
    }

    void wake()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            wake_asked = true;
        }
        woken.notify_one();
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (bool last = false; !last;) {
            woken.wait_for(lock, writer_period, [this] { return stopping || wake_asked; });
            wake_asked = false;
            std::vector<Record> batch;
            batch.swap(pending);
            last = stopping;
            lock.unlock();
            write(batch);
            lock.lock();
        }
        file->close();
    }

    void write(const std::vector<Record>& batch)
    {
        QByteArray text;
        for (const Record& record : batch) {
            last_ms_of_day = record.ms_of_day;
            const QByteArray line = record.line() + '\n';
            if (cut && !record.closing)
                continue;
            if (!record.closing && written + text.size() + line.size() > file_bytes_cap - closing_reserve_bytes) {
                cut = true;
                text +=
                    Record{record.ms_of_day, "note", "trace cut here: the file reached its size limit"}.line() + '\n';
                continue;
            }
            text += line;
        }
        // One warning per update: after a failure the rest of the trace is dropped.
        if (text.isEmpty() || failed)
            return;
        // The file is unbuffered: a short count is what reached the disk, and the next call says why it stopped.
        qint64 done = 0;
        while (done < text.size()) {
            const qint64 n = file->write(text.constData() + done, text.size() - done);
            if (n <= 0)
                break;
            done += n;
        }
        if (done < text.size()) {
            failed = true;
            const QString why = file->errorString();
            warn_unwritable(folder, why);
            end_cut_file(text, done, why);
        }
        written += done;
    }

    // Support must not take a trace that stops mid-way for a whole one. A full disk still lets the file's own
    // bytes be written over, so the note takes the place of the lines of this batch that it needs, after the
    // last whole line, and the file ends there.
    void end_cut_file(const QByteArray& text, qint64 done, const QString& why)
    {
        const QByteArray note =
            Record{last_ms_of_day, "note", "trace cut here: the disk refused it (" + why.toUtf8() + ')'}.line() + '\n';
        int keep = 0;
        if (done > note.size())
            keep = text.lastIndexOf('\n', static_cast<int>(done - note.size()) - 1) + 1;
        const qint64 at = written + keep;
        if (!file->seek(at))
            return;
        const qint64 n = file->write(note);
        file->resize(at + std::max<qint64>(n, 0));
    }

    std::unique_ptr<QFile> file;
    const QString folder;
    std::mutex mutex;
    std::condition_variable woken;
    std::vector<Record> pending;
    bool stopping = false;
    bool wake_asked = false;
    // Owned by the writer's thread.
    qint64 written = 0;
    int last_ms_of_day = 0;
    bool cut = false;
    bool failed = false;
    // Declared last: it starts running as soon as it is constructed.
    std::thread thread;
};

ServiceLog::ServiceLog(const QString& folder) : log_folder(folder)
{
    set_clock();
}

ServiceLog::~ServiceLog()
{
    if (updating)
        end_update(QStringLiteral("program closed during the update"));
}

QString ServiceLog::default_folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/service-log");
}

void ServiceLog::begin_update(const UpdateStart& start)
{
    if (updating)
        end_update(QStringLiteral("abandoned: another update began"));
    updating = true;
    lines_sent = bytes_sent = chunks_received = 0;
    set_clock();
    update_file_path.clear();
    if (!log_folder.isEmpty())
        open_file();
    if (!active())
        return;
    write("begin", iso_time(QDateTime::currentDateTime()).toLatin1());
    write("program", start.program_version.toUtf8());
    write("port", start.port.toUtf8());
    write("package", start.package_path.toUtf8());
    write("sha256", start.package_sha256);
    if (!start.signature.isEmpty())
        write("signature", start.signature.toUtf8());
    for (const auto& [name, size] : start.files)
        write("file", name.toUtf8() + ' ' + QByteArray::number(size) + " B");
}

void ServiceLog::end_update(const QString& outcome)
{
    if (!updating) {
        write("outcome", outcome.toUtf8());
        return;
    }
    write("summary",
          "lines sent " + QByteArray::number(lines_sent) + ", bytes sent " + QByteArray::number(bytes_sent) +
              ", chunks received " + QByteArray::number(chunks_received) + ", " + QByteArray::number(clock.elapsed()) +
              " ms",
          -1, true);
    write("outcome", outcome.toUtf8(), -1, true);
    updating = false;
    // Waits for the last lines to reach the disk; the update is over, nothing is paced any more.
    writer.reset();
}

void ServiceLog::note_sent(const QByteArray& bytes)
{
    ++lines_sent;
    bytes_sent += bytes.size();
    if (active())
        write("sent", bytes.left(sent_bytes_shown), bytes.size());
}

void ServiceLog::note_received(const QByteArray& bytes)
{
    ++chunks_received;
    if (active())
        write("recv", bytes.left(received_bytes_shown), bytes.size());
}

void ServiceLog::note_timeout()
{
    if (active())
        write("timeout", "no reply from the device");
}

void ServiceLog::note_lost()
{
    if (active())
        write("lost", "the port reported the line lost");
}

void ServiceLog::note_rate(qint32 rate)
{
    if (active())
        write("rate", QByteArray::number(rate));
}

void ServiceLog::note_open(const QString& port_name, bool opened)
{
    if (active())
        write("open", port_name.toUtf8() + (opened ? " ok" : " failed"));
}

void ServiceLog::note_close()
{
    if (active())
        write("close", QByteArray());
}

void ServiceLog::note_wait(int ms)
{
    if (!active())
        return;
    write("wait", QByteArray::number(ms) + " ms");
    if (writer && ms >= wake_writer_wait_ms)
        writer->wake();
}

void ServiceLog::note(const QString& text)
{
    if (active())
        write("note", text.toUtf8());
}

// Wall-clock time of day, so that a trace can be matched against what the operator reports.
// Asking the wall clock for the local time costs about 17 us here (the time zone is looked up
// every time), several times the rest of a line, so it is asked once per update and the
// monotonic clock counts from there.
void ServiceLog::set_clock()
{
    clock_base_ms = QTime::currentTime().msecsSinceStartOfDay();
    clock.start();
}

bool ServiceLog::active() const
{
    return writer || vkt_link().isDebugEnabled();
}

void ServiceLog::write(const char* kind, const QByteArray& detail, int byte_count, bool closing)
{
    constexpr qint64 day_ms = 24 * 3600 * 1000;
    Record record{static_cast<int>((clock_base_ms + clock.elapsed()) % day_ms), kind, detail, byte_count, closing};
    if (vkt_link().isDebugEnabled())
        qCDebug(vkt_link).noquote() << QString::fromUtf8(record.line());
    if (writer)
        writer->append(std::move(record));
}

void ServiceLog::open_file()
{
    const QDir dir(log_folder);
    if (!dir.mkpath(QStringLiteral("."))) {
        warn_unwritable(log_folder, QStringLiteral("cannot create the folder"));
        return;
    }
    prune_old_files();
    // Named by the start of the update, so that names sort by age; two updates begun within the same
    // millisecond must still not share a file ('_' sorts after the '.' of the first one's name).
    const QString stem =
        QLatin1String(file_prefix) + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss-zzz"));
    auto file = std::make_unique<QFile>();
    for (int n = 1;; ++n) {
        file->setFileName(
            dir.filePath(stem + (n > 1 ? QStringLiteral("_%1").arg(n) : QString()) + QLatin1String(file_suffix)));
        // Bytes as handed over, '\n' on every system: a cut trace is ended at a known offset.
        if (file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
            update_file_path = file->fileName();
            writer = std::make_unique<Writer>(std::move(file), log_folder);
            return;
        }
        if (!file->exists() || n == kept_files) {
            warn_unwritable(log_folder, file->errorString());
            return;
        }
    }
}

void ServiceLog::prune_old_files()
{
    // Oldest first by when a file was last written, not by its name: the name holds the local time an update
    // began, which steps back an hour when summer time ends, and a name from a clock once set years ahead would
    // sort newest for ever while the real newest files went. A file stamped in the future was written under
    // such a clock, so it counts as the oldest.
    struct OwnFile {
        QFileInfo info;
        qint64 age_key;
    };
    const QRegularExpression own_name(QString::fromLatin1(own_file_pattern));
    const qint64 now_ms = QDateTime::currentMSecsSinceEpoch();
    std::vector<OwnFile> own;
    qint64 total = 0;
    for (const QFileInfo& info : QDir(log_folder).entryInfoList(QDir::Files | QDir::NoSymLinks)) {
        if (!own_name.match(info.fileName()).hasMatch())
            continue;
        const qint64 written_ms = info.lastModified().toMSecsSinceEpoch();
        own.push_back({info, written_ms > now_ms + clock_step_tolerance_ms ? LLONG_MIN : written_ms});
        total += info.size();
    }
    std::sort(own.begin(), own.end(), [](const OwnFile& a, const OwnFile& b) {
        return a.age_key != b.age_key ? a.age_key < b.age_key : a.info.fileName() < b.info.fileName();
    });
    // The new file must fit beside what stays.
    auto left = own.size();
    for (const OwnFile& file : own) {
        if (left < static_cast<std::size_t>(kept_files) && total <= kept_bytes - file_bytes_cap)
            break;
        if (QFile::remove(file.info.filePath())) {
            total -= file.info.size();
            --left;
        }
    }
}

QString iso_time(const QDateTime& time)
{
    const int offset_s = time.offsetFromUtc();
    const int offset_min = std::abs(offset_s) / 60;
    char offset[16];
    std::snprintf(offset, sizeof offset, "%c%02d:%02d", offset_s < 0 ? '-' : '+', offset_min / 60, offset_min % 60);
    return time.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss.zzz")) + QLatin1String(offset);
}
