#include "servicelog/unit_history.h"

#include "rules/package_rules.h"
#include "rules/process_identity.h"
#include "servicelog/service_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStandardPaths>
#include <QThread>

#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <pwd.h>
#include <unistd.h>
#endif
#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace
{

const char* const file_name = "history.db";
const char* const path_variable = "VKT_HISTORY_DB";
const char* const running_word = "running";

// Another program's commit holds the lock for milliseconds; a disk that stalls for seconds is already failing.
constexpr int busy_timeout_ms = 10000;
// What the busy timeout does not cover (a WAL checkpoint under way, two programs changing the journal mode at once)
// is retried, spaced so that the other program finishes meanwhile.
constexpr int busy_retries = 50;
constexpr int busy_retry_pause_ms = 20;

// SQLite's primary result codes, as the driver reports them.
enum SqliteCode { busy = 5, locked = 6, corrupt = 11, not_a_database = 26 };

int sqlite_code(const QSqlError& error)
{
    return error.nativeErrorCode().toInt() & 0xff;
}

bool is_busy(const QSqlError& error)
{
    const int code = sqlite_code(error);
    return code == busy || code == locked;
}

bool is_damage(const QSqlError& error)
{
    const int code = sqlite_code(error);
    return code == corrupt || code == not_a_database;
}

} // namespace

QString UnitHistory::os_user()
{
#ifdef Q_OS_UNIX
    if (const passwd* entry = ::getpwuid(::geteuid()))
        return QString::fromLocal8Bit(entry->pw_name);
    return qEnvironmentVariable("USER");
#else
    return qEnvironmentVariable("USERNAME");
#endif
}

namespace
{

// Whether a process of this computer and this boot still runs. Where that cannot be known, it runs: a row left
// open is a smaller harm than a live unit's row closed under it.
bool process_runs(qint64 pid)
{
    if (pid <= 0)
        return false;
#ifdef Q_OS_UNIX
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
#elif defined(Q_OS_WIN)
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr)
        return ::GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool runs = ::GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    ::CloseHandle(process);
    return runs;
#else
    return true;
#endif
}

QJsonArray files_json(const QList<QPair<QString, qint64>>& files)
{
    QJsonArray array;
    for (const auto& [name, size] : files)
        array.append(QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("size"), size}});
    return array;
}

QJsonArray results_json(const QList<FileResult>& files)
{
    QJsonArray array;
    for (const FileResult& file : files) {
        QJsonObject object{{QStringLiteral("name"), file.name},
                           {QStringLiteral("board"), file.board},
                           {QStringLiteral("size"), file.size},
                           {QStringLiteral("end"), file.end}};
        if (file.started.isValid())
            object.insert(QStringLiteral("started"), iso_time(file.started));
        if (file.ended.isValid())
            object.insert(QStringLiteral("ended"), iso_time(file.ended));
        array.append(object);
    }
    return array;
}

// Stored as text, so that any reader of the file sees JSON.
QString compact(const QJsonArray& array)
{
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

QJsonArray parsed(const QVariant& text)
{
    return QJsonDocument::fromJson(text.toByteArray()).array();
}

QDateTime time_of(const QVariant& iso)
{
    return QDateTime::fromString(iso.toString(), Qt::ISODateWithMs);
}

// An invalid variant is bound as NULL.
QVariant text_or_null(const QString& text)
{
    return text.isEmpty() ? QVariant() : QVariant(text);
}

bootloader_protocol::EndClass end_class_of(const QString& word)
{
    return bootloader_protocol::end_class_named(word).value_or(bootloader_protocol::EndClass::stopped);
}

const char* const schema[] = {
    "CREATE TABLE IF NOT EXISTS units ("
    " id INTEGER PRIMARY KEY,"
    " started TEXT NOT NULL, started_ms INTEGER NOT NULL, ended TEXT, ended_ms INTEGER,"
    " host TEXT, boot_id TEXT, pid INTEGER, process_started TEXT,"
    " port TEXT, adapter_identity TEXT, usb_serial TEXT, usb_vid_pid TEXT, usb_description TEXT,"
    " package_path TEXT, package_name TEXT, package_sha256 TEXT, signature TEXT, signature_key TEXT, files TEXT,"
    " end_text TEXT, end_class TEXT, exit_code INTEGER, service_log TEXT,"
    " os_user TEXT, program_version TEXT, unit_serial TEXT, file_results TEXT, hook TEXT)",
    "CREATE INDEX IF NOT EXISTS units_started ON units(started_ms)",
    "CREATE INDEX IF NOT EXISTS units_unit ON units(unit_serial, started_ms)",
    "CREATE INDEX IF NOT EXISTS units_adapter ON units(usb_serial COLLATE NOCASE, started_ms)",
    "CREATE INDEX IF NOT EXISTS units_package_sha ON units(package_sha256, started_ms)",
    "CREATE INDEX IF NOT EXISTS units_package_name ON units(package_name, started_ms)",
    "CREATE INDEX IF NOT EXISTS units_port ON units(port, started_ms)",
    // Looked through at every start of a program: only the rows still open.
    "CREATE INDEX IF NOT EXISTS units_open ON units(host) WHERE ended_ms IS NULL",
};
// The schema's version; a database of an older one is brought up to it when opened.
constexpr int schema_version = 2;

const char* const row_columns =
    "id, started, ended, host, port, adapter_identity, usb_serial, usb_vid_pid, usb_description, package_path, "
    "package_sha256, signature, signature_key, files, end_text, end_class, exit_code, service_log, os_user, "
    "program_version, unit_serial, "
    "file_results, hook";

} // namespace

// The connection and everything done with it; used on the worker's thread only, as Qt's SQL connections ask.
class UnitHistory::Store
{
public:
    explicit Store(std::function<void(const QString&, const QString&)> warn)
        : name(QStringLiteral("vkt_history_%1").arg(reinterpret_cast<quintptr>(this), 0, 16)), warn(std::move(warn))
    {
    }

    ~Store() { close(); }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    bool open(const QString& path)
    {
        file_path = path;
        const QString folder = QFileInfo(path).absolutePath();
        if (!QDir().mkpath(folder))
            return unusable(QStringLiteral("its folder %1 cannot be created").arg(QDir::toNativeSeparators(folder)));
        for (int attempt = 0;; ++attempt) {
            const QSqlError error = connect();
            if (!error.isValid())
                return true;
            close();
            if (is_damage(error) && attempt == 0 && move_aside(error.databaseText()))
                continue;
            return unusable(error.databaseText().isEmpty() ? error.text() : error.databaseText());
        }
    }

    // Runs the statements of `body` in one transaction that takes the write lock at once, so that the busy timeout
    // covers the wait for it; busy beyond that, it is tried again. A database found damaged is replaced once.
    bool write(const std::function<bool(QSqlQuery&)>& body)
    {
        if (!connected)
            return false;
        for (int attempt = 0, replaced = 0;; ++attempt) {
            QSqlQuery query(database());
            bool done = query.exec(QStringLiteral("BEGIN IMMEDIATE")) && body(query);
            if (done)
                done = query.exec(QStringLiteral("COMMIT"));
            if (done)
                return true;
            const QSqlError error = query.lastError();
            query.finish();
            QSqlQuery(database()).exec(QStringLiteral("ROLLBACK"));
            if (is_busy(error) && attempt < busy_retries) {
                QThread::msleep(busy_retry_pause_ms);
                continue;
            }
            if (is_damage(error) && replaced++ == 0) {
                close();
                if (move_aside(error.databaseText()) && !connect().isValid())
                    continue;
                connected = false;
            }
            warn(QStringLiteral("write"), QStringLiteral("The unit history %1 could not be written (%2); the updates "
                                                         "go on, and the reports file still gets every unit.")
                                              .arg(QDir::toNativeSeparators(file_path), error.databaseText()));
            return false;
        }
    }

    int close_dead_rows()
    {
        QSqlQuery query(database());
        query.setForwardOnly(true);
        if (!query.exec(QStringLiteral("SELECT id, host, boot_id, pid, file_results, process_started FROM units "
                                       "WHERE ended_ms IS NULL")))
            return 0;
        const ProcessIdentity here = ProcessIdentity::current();
        QList<QPair<qint64, QString>> dead;
        while (query.next()) {
            // Another computer's programs cannot be seen from here.
            if (query.value(1).toString() != here.host)
                continue;
            const QString row_boot = query.value(2).toString();
            const qint64 pid = query.value(3).toLongLong();
            const bool other_boot = !here.boot.isEmpty() && !row_boot.isEmpty() && row_boot != here.boot;
            if (!other_boot) {
                // A process id comes back to a later process of the same boot; its start tells the two apart. A row
                // written without it, or a system that gives none, goes by the id alone.
                const QString started = query.value(5).toString();
                const auto state = started.isEmpty() ? ProcessIdentity::State::unknown
                                                     : ProcessIdentity{here.host, here.boot, pid, started}.state();
                if (state == ProcessIdentity::State::running ||
                    (state == ProcessIdentity::State::unknown && (pid == here.pid || process_runs(pid))))
                    continue;
            }
            QJsonArray files = parsed(query.value(4));
            for (QJsonValueRef file : files) {
                QJsonObject object = file.toObject();
                if (object.value(QStringLiteral("end")) == QLatin1String(FileResult::sending))
                    object.insert(QStringLiteral("end"), QLatin1String(bootloader_protocol::end_class_name(
                                                             bootloader_protocol::EndClass::interrupted)));
                file = object;
            }
            dead.append({query.value(0).toLongLong(), compact(files)});
        }
        query.finish();
        if (dead.isEmpty())
            return 0;
        const QDateTime now = QDateTime::currentDateTime();
        const bool closed = write([&](QSqlQuery& update) {
            update.prepare(QStringLiteral("UPDATE units SET ended = ?, ended_ms = ?, end_class = ?, end_text = ?, "
                                          "file_results = ? WHERE id = ? AND ended_ms IS NULL"));
            for (const auto& [id, files] : dead) {
                update.addBindValue(iso_time(now));
                update.addBindValue(now.toMSecsSinceEpoch());
                update.addBindValue(
                    QLatin1String(bootloader_protocol::end_class_name(bootloader_protocol::EndClass::interrupted)));
                update.addBindValue(QLatin1String(interrupted_text));
                update.addBindValue(files);
                update.addBindValue(id);
                if (!update.exec())
                    return false;
            }
            return true;
        });
        return closed ? dead.size() : 0;
    }

    qint64 insert(const HistoryRow& row)
    {
        qint64 id = 0;
        const UnitRecord& record = row.record;
        const ProcessIdentity self = ProcessIdentity::current();
        const bool committed = write([&](QSqlQuery& query) {
            query.prepare(QStringLiteral(
                "INSERT INTO units (started, started_ms, host, boot_id, pid, process_started, port, adapter_identity, "
                "usb_serial, usb_vid_pid, usb_description, package_path, package_name, package_sha256, signature, "
                "signature_key, files, service_log, os_user, program_version, unit_serial, file_results) "
                "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"));
            for (const QVariant& value : {QVariant(iso_time(record.started)),
                                          QVariant(record.started.toMSecsSinceEpoch()),
                                          QVariant(record.host),
                                          QVariant(self.boot),
                                          QVariant(self.pid),
                                          text_or_null(self.started),
                                          QVariant(record.port),
                                          QVariant(record.adapter_identity),
                                          text_or_null(record.usb_serial),
                                          text_or_null(record.usb_vid_pid),
                                          text_or_null(record.usb_description),
                                          QVariant(record.package_path),
                                          QVariant(package_rules::file_name(record.package_path)),
                                          QVariant(QString::fromLatin1(record.package_sha256)),
                                          QVariant(record.signature),
                                          text_or_null(record.signature_key),
                                          QVariant(compact(files_json(record.files))),
                                          QVariant(record.service_log),
                                          QVariant(row.os_user),
                                          QVariant(row.program_version),
                                          text_or_null(row.unit_serial),
                                          QVariant(compact(results_json(row.file_results)))})
                query.addBindValue(value);
            if (!query.exec())
                return false;
            id = query.lastInsertId().toLongLong();
            return true;
        });
        return committed ? id : 0;
    }

    void update_files(qint64 id, const QList<FileResult>& files)
    {
        write([&](QSqlQuery& query) {
            query.prepare(QStringLiteral("UPDATE units SET file_results = ? WHERE id = ?"));
            query.addBindValue(compact(results_json(files)));
            query.addBindValue(id);
            return query.exec();
        });
    }

    void close_row(const HistoryRow& row)
    {
        const UnitRecord& record = row.record;
        write([&](QSqlQuery& query) {
            // What the run learnt after its start (the unit found again under another name, the log's file)
            // replaces what was written then.
            query.prepare(QStringLiteral(
                "UPDATE units SET ended = ?, ended_ms = ?, port = ?, usb_serial = ?, usb_vid_pid = ?, "
                "usb_description = ?, end_text = ?, end_class = ?, exit_code = ?, service_log = ?, file_results = ? "
                "WHERE id = ?"));
            for (const QVariant& value :
                 {QVariant(iso_time(record.ended)), QVariant(record.ended.toMSecsSinceEpoch()), QVariant(record.port),
                  text_or_null(record.usb_serial), text_or_null(record.usb_vid_pid),
                  text_or_null(record.usb_description), QVariant(record.end_text),
                  QVariant(QLatin1String(bootloader_protocol::end_class_name(record.end_class))),
                  record.exit_code ? QVariant(*record.exit_code) : QVariant(), QVariant(record.service_log),
                  QVariant(compact(results_json(row.file_results))), QVariant(row.id)})
                query.addBindValue(value);
            return query.exec();
        });
    }

    void set_hook(qint64 id, const QString& result)
    {
        write([&](QSqlQuery& query) {
            query.prepare(QStringLiteral("UPDATE units SET hook = ? WHERE id = ?"));
            query.addBindValue(result);
            query.addBindValue(id);
            return query.exec();
        });
    }

    QList<HistoryRow> matching(const HistoryFilter& filter, const QString& order)
    {
        QStringList where;
        QVariantList values;
        const auto when = [&](const char* clause, const QVariant& value, int times = 1) {
            where << QLatin1String(clause);
            for (int i = 0; i < times; ++i)
                values << value;
        };
        if (filter.since.isValid())
            when("started_ms >= ?", filter.since.toMSecsSinceEpoch());
        if (filter.until.isValid())
            when("started_ms <= ?", filter.until.toMSecsSinceEpoch());
        if (filter.end_class == QLatin1String(running_word))
            where << QStringLiteral("ended_ms IS NULL");
        else if (!filter.end_class.isEmpty())
            when("end_class = ?", filter.end_class);
        if (!filter.port.isEmpty())
            when("(port = ? OR adapter_identity = ?)", filter.port, 2);
        if (!filter.adapter_serial.isEmpty())
            when("usb_serial = ? COLLATE NOCASE", filter.adapter_serial);
        if (!filter.unit_serial.isEmpty())
            when("unit_serial = ?", filter.unit_serial);
        static const QRegularExpression sha256(QStringLiteral("^[0-9A-Fa-f]{64}$"));
        if (sha256.match(filter.package).hasMatch())
            when("package_sha256 = ?", filter.package.toLower());
        else if (!filter.package.isEmpty())
            when("package_name = ?", filter.package);

        QList<HistoryRow> rows;
        if (!connected)
            return rows;
        QSqlQuery query(database());
        query.setForwardOnly(true);
        query.prepare(
            QStringLiteral("SELECT %1 FROM units%2 ORDER BY %3")
                .arg(QLatin1String(row_columns),
                     where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where.join(QStringLiteral(" AND ")),
                     order));
        for (const QVariant& value : qAsConst(values))
            query.addBindValue(value);
        if (!query.exec()) {
            warn(QStringLiteral("read"),
                 QStringLiteral("The unit history %1 could not be read (%2).")
                     .arg(QDir::toNativeSeparators(file_path), query.lastError().databaseText()));
            return rows;
        }
        while (query.next())
            rows.append(row_of(query));
        return rows;
    }

private:
    static HistoryRow row_of(const QSqlQuery& query)
    {
        HistoryRow row;
        UnitRecord& record = row.record;
        int column = 0;
        const auto next = [&query, &column] { return query.value(column++); };
        row.id = next().toLongLong();
        record.started = time_of(next());
        const QVariant ended = next();
        row.open = ended.isNull();
        record.ended = time_of(ended);
        for (QString* text : {&record.host, &record.port, &record.adapter_identity, &record.usb_serial,
                              &record.usb_vid_pid, &record.usb_description, &record.package_path})
            *text = next().toString();
        record.package_sha256 = next().toString().toLatin1();
        record.signature = next().toString();
        record.signature_key = next().toString();
        for (const QJsonValue& file : parsed(next())) {
            const QJsonObject object = file.toObject();
            record.files.append({object.value(QStringLiteral("name")).toString(),
                                 static_cast<qint64>(object.value(QStringLiteral("size")).toDouble())});
        }
        record.end_text = next().toString();
        record.end_class = end_class_of(next().toString());
        const QVariant code = next();
        if (!code.isNull())
            record.exit_code = code.toInt();
        record.service_log = next().toString();
        row.os_user = next().toString();
        row.program_version = next().toString();
        row.unit_serial = next().toString();
        for (const QJsonValue& file : parsed(next())) {
            const QJsonObject object = file.toObject();
            row.file_results.append({object.value(QStringLiteral("name")).toString(),
                                     object.value(QStringLiteral("board")).toString(),
                                     static_cast<qint64>(object.value(QStringLiteral("size")).toDouble()),
                                     object.value(QStringLiteral("end")).toString(),
                                     time_of(object.value(QStringLiteral("started")).toString()),
                                     time_of(object.value(QStringLiteral("ended")).toString())});
        }
        row.hook = next().toString();
        return row;
    }

    QSqlDatabase database() const { return QSqlDatabase::database(name, false); }

    QSqlError connect()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        if (!db.isValid())
            return QSqlError(QString(), QStringLiteral("Qt's SQLite driver is missing (Debian: libqt5sql5-sqlite)"));
        db.setDatabaseName(file_path);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busy_timeout_ms));
        if (!db.open())
            return db.lastError();
        connected = true;
        QSqlQuery query(db);
        // WAL lets readers and the one writer work at once; FULL syncs every commit, so that a row written before a
        // unit's first byte outlives a power cut, not only a killed program.
        const QStringList setup{QStringLiteral("PRAGMA journal_mode = WAL"),
                                QStringLiteral("PRAGMA synchronous = FULL"), QStringLiteral("PRAGMA quick_check")};
        for (const QString& statement : setup) {
            for (int attempt = 0;; ++attempt) {
                if (query.exec(statement))
                    break;
                if (!is_busy(query.lastError()) || attempt >= busy_retries)
                    return query.lastError();
                QThread::msleep(busy_retry_pause_ms);
            }
            if (statement.endsWith(QLatin1String("quick_check")) && query.next() &&
                query.value(0).toString() != QLatin1String("ok"))
                return QSqlError(query.value(0).toString(), query.value(0).toString(), QSqlError::StatementError,
                                 QString::number(corrupt));
            query.finish();
        }
        QSqlError failure;
        const bool made = write([&failure](QSqlQuery& statement) {
            QStringList statements;
            for (const char* sql : schema)
                statements << QLatin1String(sql);
            // Version 1 knew a row's process by its id alone, which a later process may have again.
            if (statement.exec(QStringLiteral("PRAGMA user_version")) && statement.next() &&
                statement.value(0).toInt() == 1)
                statements << QStringLiteral("ALTER TABLE units ADD COLUMN process_started TEXT");
            statements << QStringLiteral("PRAGMA user_version = %1").arg(schema_version);
            for (const QString& sql : statements) {
                if (!statement.exec(sql)) {
                    failure = statement.lastError();
                    return false;
                }
            }
            return true;
        });
        return made ? QSqlError() : failure;
    }

    void close()
    {
        if (!QSqlDatabase::contains(name))
            return;
        database().close();
        QSqlDatabase::removeDatabase(name);
        connected = false;
    }

    // A file that is not a sound database is kept for whoever wants to look into it, out of the way of the next.
    bool move_aside(const QString& why)
    {
        const QString aside = file_path + QStringLiteral(".damaged-") +
                              QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
        if (!QFile::rename(file_path, aside))
            return false;
        // A journal left beside it belongs to the old file and would be played into the new one.
        QFile::rename(file_path + QStringLiteral("-wal"), aside + QStringLiteral("-wal"));
        QFile::remove(file_path + QStringLiteral("-shm"));
        warn(QStringLiteral("moved ") + aside,
             QStringLiteral("The unit history %1 was not a sound database (%2); it was moved aside to %3 and a new "
                            "one was made.")
                 .arg(QDir::toNativeSeparators(file_path), why, QDir::toNativeSeparators(aside)));
        return true;
    }

    bool unusable(const QString& why)
    {
        warn(QStringLiteral("open"), QStringLiteral("The unit history %1 cannot be used (%2); the updates go on "
                                                    "without it, and the reports file still gets every unit.")
                                         .arg(QDir::toNativeSeparators(file_path), why));
        return false;
    }

    const QString name;
    std::function<void(const QString&, const QString&)> warn;
    QString file_path;
    bool connected = false;
};

// One thread that runs the store's tasks in order; its destruction runs what is still queued.
class UnitHistory::Worker
{
public:
    Worker() : thread([this] { run(); }) {}

    ~Worker()
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        woken.notify_one();
        thread.join();
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void post(std::function<void()> task)
    {
        {
            const std::lock_guard<std::mutex> lock(mutex);
            tasks.push_back(std::move(task));
        }
        woken.notify_one();
    }

    // Runs the task behind every one queued before it, and returns once it is done.
    void call(const std::function<void()>& task)
    {
        std::promise<void> done;
        post([&task, &done] {
            task();
            done.set_value();
        });
        done.get_future().wait();
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            woken.wait(lock, [this] { return stopping || !tasks.empty(); });
            if (tasks.empty())
                return;
            const std::function<void()> task = std::move(tasks.front());
            tasks.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex;
    std::condition_variable woken;
    std::deque<std::function<void()>> tasks;
    bool stopping = false;
    std::thread thread;
};

UnitHistory::UnitHistory(QObject* parent) : QObject(parent), worker(std::make_unique<Worker>()) {}

UnitHistory::~UnitHistory()
{
    worker->call([this] { store.reset(); });
    worker.reset();
}

QString UnitHistory::default_path()
{
    const QString given = qEnvironmentVariable(path_variable);
    if (!given.isEmpty())
        return given;
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QLatin1Char('/') +
           QLatin1String(file_name);
}

void UnitHistory::warn(const QString& kind, const QString& text)
{
    if (warned.contains(kind))
        return;
    warned << kind;
    emit warning(text);
}

void UnitHistory::run(std::function<void(Store&)> task)
{
    if (!on)
        return;
    worker->post([this, task = std::move(task)] { task(*store); });
}

bool UnitHistory::open(const QString& path)
{
    file_path = path;
    worker->call([this, path] {
        store = std::make_unique<Store>([this](const QString& kind, const QString& text) {
            {
                const std::lock_guard<std::mutex> lock(heard_mutex);
                heard.append({kind, text});
            }
            QMetaObject::invokeMethod(this, &UnitHistory::tell_heard, Qt::QueuedConnection);
        });
        if (store->open(path)) {
            closed_dead = store->close_dead_rows();
            on = true;
        }
    });
    tell_heard();
    return on;
}

void UnitHistory::call(const std::function<void()>& task)
{
    worker->call(task);
    tell_heard();
}

// What the store warns of reaches the operator on this object's thread: at once after a task this thread waited for,
// through the event loop after one it did not.
void UnitHistory::tell_heard()
{
    QList<QPair<QString, QString>> told;
    {
        const std::lock_guard<std::mutex> lock(heard_mutex);
        told.swap(heard);
    }
    for (const auto& [kind, text] : told)
        warn(kind, text);
}

qint64 UnitHistory::open_row(const HistoryRow& row)
{
    qint64 id = 0;
    if (on)
        call([&] { id = store->insert(row); });
    return id;
}

void UnitHistory::note_files(qint64 id, const QList<FileResult>& files)
{
    if (id > 0)
        run([id, files](Store& s) { s.update_files(id, files); });
}

void UnitHistory::close_row(const HistoryRow& row, const std::function<void()>& written)
{
    if (row.id <= 0) {
        QMetaObject::invokeMethod(this, written, Qt::QueuedConnection);
        return;
    }
    run([this, row, written](Store& s) {
        s.close_row(row);
        QMetaObject::invokeMethod(this, written, Qt::QueuedConnection);
    });
}

void UnitHistory::note_hook(qint64 id, const QString& result)
{
    if (id > 0)
        run([id, result](Store& s) { s.set_hook(id, result); });
}

QList<HistoryRow> UnitHistory::query(const HistoryFilter& filter)
{
    QList<HistoryRow> rows;
    if (on)
        call([&] { rows = store->matching(filter, QStringLiteral("started_ms, id")); });
    return rows;
}

std::optional<HistoryRow> UnitHistory::last_success(const QString& unit_serial, const QByteArray& package_sha256)
{
    if (!on || unit_serial.isEmpty())
        return std::nullopt;
    HistoryFilter filter;
    filter.unit_serial = unit_serial;
    filter.package = QString::fromLatin1(package_sha256);
    filter.end_class = QLatin1String(bootloader_protocol::end_class_name(bootloader_protocol::EndClass::success));
    QList<HistoryRow> rows;
    call([&] { rows = store->matching(filter, QStringLiteral("started_ms DESC, id DESC LIMIT 1")); });
    return rows.isEmpty() ? std::nullopt : std::optional<HistoryRow>(rows.first());
}

QJsonObject UnitHistory::json_object(const HistoryRow& row)
{
    QJsonObject object = unit_record::json_object(row.record);
    object.insert(QStringLiteral("id"), row.id);
    if (row.open) {
        object.insert(QStringLiteral("ended"), QString());
        object.insert(QStringLiteral("end_text"), QString());
        object.insert(QStringLiteral("end_class"), QLatin1String(running_word));
    }
    object.insert(QStringLiteral("os_user"), row.os_user);
    object.insert(QStringLiteral("program_version"), row.program_version);
    object.insert(QStringLiteral("file_results"), results_json(row.file_results));
    if (!row.unit_serial.isEmpty())
        object.insert(QStringLiteral("unit_serial"), row.unit_serial);
    if (!row.hook.isEmpty())
        object.insert(QStringLiteral("hook"), row.hook);
    return object;
}
