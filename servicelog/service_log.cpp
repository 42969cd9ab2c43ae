#include "servicelog/service_log.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTime>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

Q_LOGGING_CATEGORY(vkt_link, "vkt.link", QtInfoMsg)

namespace
{

const char* const file_prefix = "update_";
const char* const file_suffix = ".log";
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

QByteArray printable(const QByteArray& bytes)
{
    static const char digits[] = "0123456789abcdef";
    QByteArray out;
    out.reserve(bytes.size() + 16);
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out.append(byte);
        } else {
            out.append("\\x");
            out.append(digits[c >> 4]);
            out.append(digits[c & 0xf]);
        }
    }
    return out;
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
            text += ' ' + detail;
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
        if (file->write(text) != text.size() || !file->flush()) {
            failed = true;
            warn_unwritable(folder, file->errorString());
        }
        written += text.size();
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

ServiceLog& ServiceLog::shared()
{
    static ServiceLog log(default_folder());
    return log;
}

QString ServiceLog::default_folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/service-log");
}

void ServiceLog::begin_update(const QString& package)
{
    if (updating)
        end_update(QStringLiteral("abandoned: another update began"));
    updating = true;
    lines_sent = bytes_sent = chunks_received = 0;
    set_clock();
    if (!log_folder.isEmpty())
        open_file();
    write("begin", package.toUtf8() + ' ' + QDateTime::currentDateTime().toString(Qt::ISODate).toLatin1());
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
    write("outcome", outcome.toUtf8().left(static_cast<int>(closing_reserve_bytes) / 2), -1, true);
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

void ServiceLog::note_link(const QByteArray& condition)
{
    if (active())
        write("link", condition);
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
        if (file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Text)) {
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
    QDir dir(log_folder);
    const QFileInfoList old =
        dir.entryInfoList({QLatin1String(file_prefix) + '*' + QLatin1String(file_suffix)}, QDir::Files, QDir::Name);
    qint64 total = 0;
    for (const QFileInfo& info : old)
        total += info.size();
    // Oldest first, by name; the new file must fit beside what stays.
    int left = old.size();
    for (const QFileInfo& info : old) {
        if (left < kept_files && total <= kept_bytes - file_bytes_cap)
            break;
        if (QFile::remove(info.filePath())) {
            total -= info.size();
            --left;
        }
    }
}
