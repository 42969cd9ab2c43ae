#include "rules/process_identity.h"
#include "servicelog/unit_history.h"
#include "support/window_under_test.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace
{

HistoryRow unit_row(const QString& serial)
{
    HistoryRow row;
    row.record.started = QDateTime::currentDateTime();
    row.record.port = "ttyUSB0";
    row.record.package_sha256 = QByteArray(64, 'a');
    row.unit_serial = serial;
    return row;
}

// A database of a few pages, such as a station keeps after a day.
void fill(const QString& path)
{
    UnitHistory history;
    QVERIFY(history.open(path));
    for (int i = 0; i < 80; ++i)
        QVERIFY(history.open_row(unit_row(QString(100, QChar('a' + i % 26)))) > 0);
}

} // namespace

class tst_unit_history : public QObject
{
    Q_OBJECT

private slots:
    void replaces_what_is_no_database_data();
    void replaces_what_is_no_database();
    void closes_rows_of_dead_programs_data();
    void closes_rows_of_dead_programs();
    void brings_an_older_database_up();
    void sixteen_units_write_at_once();
    void a_full_disk_is_told_once();
};

void tst_unit_history::replaces_what_is_no_database_data()
{
    QTest::addColumn<QString>("damage"); // what is done to a sound database's file
    QTest::addColumn<bool>("moved");
    QTest::addColumn<QString>("warning");
    QTest::newRow("text") << "text" << true << "was not a sound database \\(file is not a database\\); it was moved";
    QTest::newRow("truncated") << "truncate" << true << "was not a sound database .*; it was moved aside to .*damaged";
    QTest::newRow("pages overwritten") << "overwrite" << true << "was not a sound database";
    QTest::newRow("a folder that cannot be made")
        << "under a file" << false << "cannot be used \\(its folder .* cannot be created\\); the updates";
}

// A file that is no sound database is moved aside, told once, and a new database takes its place; a folder that
// cannot hold one leaves the history off, told once. Nothing of it throws or stops a unit.
void tst_unit_history::replaces_what_is_no_database()
{
    QFETCH(QString, damage);
    QFETCH(bool, moved);
    QFETCH(QString, warning);
    QTemporaryDir dir;
    QString path = dir.filePath("history.db");
    fill(path);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    if (damage == "text") {
        QVERIFY(file.resize(0) && file.write(QByteArray(5000, 't')) > 0);
    } else if (damage == "truncate") {
        QVERIFY(file.resize(file.size() / 2));
    } else if (damage == "overwrite") {
        QVERIFY(file.seek(file.size() / 3) && file.write(QByteArray(3000, '\x5a')) > 0);
    } else {
        path = dir.filePath("history.db/history.db");
    }
    file.close();

    UnitHistory history;
    QSignalSpy told(&history, &UnitHistory::warning);
    QCOMPARE(history.open(path), moved);
    QCOMPARE(told.size(), 1);
    QVERIFY2(QRegularExpression(warning).match(told.at(0).at(0).toString()).hasMatch(),
             qPrintable(told.at(0).at(0).toString()));
    QCOMPARE(history.open_row(unit_row("SN1")) > 0, moved);
    QCOMPARE(names_in(dir.path()).filter(QRegularExpression("^history\\.db\\.damaged-[-0-9]+$")).size(), moved ? 1 : 0);
    if (moved)
        QCOMPARE(sqlite3(path, "SELECT unit_serial FROM units"), "SN1");
    QCOMPARE(told.size(), 1);
}

void tst_unit_history::closes_rows_of_dead_programs_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("boot");
    QTest::addColumn<qint64>("pid");
    QTest::addColumn<QString>("started"); // the process's start, as an SQL value
    QTest::addColumn<bool>("closed");
    const QString host = QSysInfo::machineHostName(), boot = QSysInfo::bootUniqueId();
    const ProcessIdentity self = ProcessIdentity::current();
    const qint64 live = getppid();
    QProcess ended;
    ended.start("true", QStringList());
    ended.waitForFinished();
    QTest::newRow("a program that still runs") << host << boot << self.pid << "'" + self.started + "'" << false;
    QTest::newRow("one that runs, written without its start") << host << boot << live << "NULL" << false;
    QTest::newRow("a later program under a dead one's id") << host << boot << live << "'1'" << true;
    QTest::newRow("a program killed") << host << boot << ended.processId() << "NULL" << true;
    QTest::newRow("power lost: another boot") << host << "another boot" << live << "NULL" << true;
    QTest::newRow("another computer's") << "another-host"
                                        << "another boot" << ended.processId() << "NULL" << false;
}

// Killed, crashed or powered off, a program leaves its rows open; the next start of any program closes them as
// interrupted, the file under way with them, and never the row of a program that still runs.
void tst_unit_history::closes_rows_of_dead_programs()
{
    QFETCH(QString, host);
    QFETCH(QString, boot);
    QFETCH(qint64, pid);
    QFETCH(QString, started);
    QFETCH(bool, closed);
    QTemporaryDir dir;
    const QString path = dir.filePath("history.db");
    {
        UnitHistory history;
        QVERIFY(history.open(path));
    }
    QCOMPARE(sqlite3(path, QString("INSERT INTO units (started, started_ms, host, boot_id, pid, process_started, "
                               "file_results) VALUES ('2024-05-01T14:03:22.117-03:00', 0, '%1', '%2', %3, %4, "
                               "'[{\"name\":\"A\",\"end\":\"success\"},{\"name\":\"B\",\"end\":\"sending\"}]')")
                           .arg(host, boot)
                           .arg(pid)
                           .arg(started)),
             QString());
    UnitHistory history;
    QVERIFY(history.open(path));
    QCOMPARE(history.closed_at_open(), closed ? 1 : 0);
    QCOMPARE(sqlite3(path, "SELECT end_class, end_text, ended IS NOT NULL, file_results FROM units"),
             closed ? "interrupted|interrupted: the program ended|1|"
                      "[{\"end\":\"success\",\"name\":\"A\"},{\"end\":\"interrupted\",\"name\":\"B\"}]"
                    : "||0|[{\"name\":\"A\",\"end\":\"success\"},{\"name\":\"B\",\"end\":\"sending\"}]");
}

// A database of the first version, whose rows knew their process by its id alone, keeps its rows and goes on: its
// open row is judged by the id as before, and new rows carry their process's start.
void tst_unit_history::brings_an_older_database_up()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("history.db");
    fill(path);
    QCOMPARE(sqlite3(path, QString("ALTER TABLE units DROP COLUMN process_started; PRAGMA user_version = 1; "
                                   "UPDATE units SET ended_ms = 1; UPDATE units SET ended_ms = NULL, pid = %1 WHERE id = 1")
                               .arg(getppid())),
             QString());
    UnitHistory history;
    QVERIFY(history.open(path));
    QCOMPARE(history.closed_at_open(), 0);
    QVERIFY(history.open_row(unit_row("SN1")) > 0);
    QCOMPARE(sqlite3(path, "PRAGMA user_version; SELECT count(*), count(process_started), sum(ended_ms IS NULL) "
                           "FROM units"),
             "2\n81|1|2");
}

// Each of 16 units with a connection of its own, each opening and closing its row while the others do: no row lost,
// no lock reaching anyone.
void tst_unit_history::sixteen_units_write_at_once()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("history.db");
    std::vector<std::unique_ptr<UnitHistory>> units;
    int told = 0, written = 0;
    for (int i = 0; i < 16; ++i) {
        units.push_back(std::make_unique<UnitHistory>());
        connect(units.back().get(), &UnitHistory::warning, [&told] { ++told; });
        QVERIFY(units.back()->open(path));
    }
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < 16; ++i) {
            HistoryRow row = unit_row(QString("SN%1").arg(i));
            row.id = units[i]->open_row(row);
            QVERIFY(row.id > 0);
            row.record.ended = QDateTime::currentDateTime();
            row.record.end_class = bootloader_protocol::EndClass::success;
            row.file_results = {FileResult{"MAIN.s19", "C", 10, "success", {}, {}}};
            units[i]->close_row(row, [&written] { ++written; });
        }
    }
    QVERIFY(run_until([&written] { return written == 64; }, 20000));
    QCOMPARE(told, 0);
    QCOMPARE(sqlite3(path, "SELECT count(*), count(DISTINCT unit_serial), sum(end_class = 'success'), "
                       "sum(file_results LIKE '%MAIN.s19%') FROM units"),
             "64|16|64|64");
}

// A disk that fills up refuses the rows: the caller learns it (no id), the operator is told once, nothing throws.
void tst_unit_history::a_full_disk_is_told_once()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("history.db");
    UnitHistory history;
    QSignalSpy told(&history, &UnitHistory::warning);
    QVERIFY(history.open(path));
    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    rlimit tight = previous;
    // Room for what the files hold now, none for a row of a few pages.
    tight.rlim_cur = static_cast<rlim_t>(std::max(QFileInfo(path).size(), QFileInfo(path + "-wal").size()));
    void (*previous_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &tight);
    const qint64 first = history.open_row(unit_row(QString(200000, 'x'))),
                 second = history.open_row(unit_row(QString(200000, 'y')));
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previous_handler);
    QCOMPARE(first + second, 0);
    QCOMPARE(told.size(), 1);
    QVERIFY2(told.at(0).at(0).toString().contains("could not be written"), qPrintable(told.at(0).at(0).toString()));
    QVERIFY(history.open_row(unit_row("SN3")) > 0);
}

QTEST_GUILESS_MAIN(tst_unit_history)
#include "tst_unit_history.moc"
