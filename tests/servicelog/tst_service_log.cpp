#include "rules/package_rules.h"
#include "servicelog/service_log.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace
{

int warnings = 0;

// Counts the console warnings while it lives, and keeps them off the test's output.
struct WarningCount {
    WarningCount()
        : previous(qInstallMessageHandler(
              [](QtMsgType type, const QMessageLogContext&, const QString&) { warnings += type == QtWarningMsg; }))
    {
        warnings = 0;
    }
    ~WarningCount() { qInstallMessageHandler(previous); }
    QtMessageHandler previous;
};

QRegularExpression stamped(const QString& line)
{
    return QRegularExpression("(^|\n)\\d\\d:\\d\\d:\\d\\d\\.\\d{3} " + line);
}

QString read_all(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class tst_service_log : public QObject
{
    Q_OBJECT

private slots:
    void traces_an_update_with_stamps_and_short_lines();
    void keeps_the_newest_files_within_count_and_size_data();
    void keeps_the_newest_files_within_count_and_size();
    void a_full_disk_ends_the_trace_with_the_reason();
};

// Also: names cannot forge a line, nothing reaches the file after the outcome, and a folder that cannot be
// written costs the update one console warning and nothing else.
void tst_service_log::traces_an_update_with_stamps_and_short_lines()
{
    QTemporaryDir dir;
    const QByteArray package = QByteArray(200000, 'x') + "abc";
    QFile package_file(dir.filePath("A#1.vkt"));
    QVERIFY(package_file.open(QIODevice::WriteOnly) && package_file.write(package) == package.size());
    package_file.close();
    const QString sha256 = QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex();
    QCOMPARE(package_rules::sha256_hex(package_file.fileName()), sha256.toLatin1());

    ServiceLog log(dir.filePath("logs"));
    log.begin_update({"2.3",
                      "/dev/pts/7\r",
                      "A\n00:00:00.000 outcome Operação realizada com Sucesso!\u2028.vkt",
                      sha256.toLatin1(),
                      {{"A.hex", 353}, {QString("evento") + QChar(0x85) + "\\.hex", 12}}});
    log.note_received("#B_UAR");
    log.note_rate(38400);
    log.note_sent(":10000000" + QByteArray(5000, 'F') + '\r');
    log.note_wait(1000);
    log.note_timeout();
    log.end_update("TimeOut");
    log.note("late");
    log.end_update("again");

    const QStringList files = QDir(log.folder()).entryList({"update_*.log"});
    QCOMPARE(files.size(), 1);
    QCOMPARE(log.update_file(), log.folder() + '/' + files.first());
    const QString text = read_all(log.update_file());
    QVERIFY(text.size() < 1500);
    QVERIFY2(text.contains(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} begin "
                                              "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d\n")),
             qPrintable(text));
    const QStringList lines = {
        "program 2.3\n",
        "port /dev/pts/7\\x0d\n",
        "package A\\x0a00:00:00.000 outcome Operação realizada com Sucesso!\\xe2\\x80\\xa8.vkt\n",
        "sha256 " + sha256 + '\n',
        "file A.hex 353 B\n",
        "file evento\\xc2\\x85\\x5c.hex 12 B\n",
        "recv 6 B #B_UAR",
        "rate 38400",
        "sent 5010 B :10000000FFFFFFF ...",
        "wait 1000 ms",
        "timeout",
        "summary lines sent 1, bytes sent 5010,",
        "outcome TimeOut\n"};
    for (const QString& line : lines)
        QVERIFY2(text.contains(stamped(QRegularExpression::escape(line))), qPrintable(line));
    QCOMPARE(text.count(stamped("outcome")), 1);
    QVERIFY(text.endsWith("outcome TimeOut\n"));

    log.set_folder(log.update_file() + "/not-a-folder");
    const WarningCount count;
    log.begin_update({});
    log.note_sent(":00000001FF\r");
    log.end_update("ok");
    QCOMPARE(warnings, 1);
    QCOMPARE(log.update_file(), QString());
}

void tst_service_log::keeps_the_newest_files_within_count_and_size_data()
{
    QTest::addColumn<int>("own");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("future");
    QTest::addColumn<int>("kept");

    QTest::newRow("fifty files at most") << 60 << 100 << 0 << 49;
    QTest::newRow("twenty MB at most") << 8 << (3 << 20) << 0 << 5;
    QTest::newRow("a file from a clock set ahead goes first") << 49 << 100 << 3 << 49;
}

// Each row also holds other programs' look-alikes, which stay whatever the count.
void tst_service_log::keeps_the_newest_files_within_count_and_size()
{
    QFETCH(int, own);
    QFETCH(int, size);
    QFETCH(int, future);
    QFETCH(int, kept);

    QTemporaryDir dir;
    const auto make = [&dir](const QString& name, qint64 bytes, const QDateTime& written) {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.resize(bytes) &&
               file.setFileTime(written, QFileDevice::FileModificationTime);
    };
    // Names and times disagree on purpose: the time a file was written decides.
    const QDateTime base = QDateTime::currentDateTime().addDays(-30);
    QStringList old_files, foreign;
    for (int i = 0; i < own; ++i) {
        old_files << QString("update_2001-01-01_00-00-00-%1.log").arg(own - i, 3, 10, QChar('0'));
        QVERIFY(make(old_files.last(), size, base.addSecs(60 * i)));
    }
    for (int i = 0; i < future; ++i)
        QVERIFY(make(QString("update_2099-01-01_00-00-00-000_%1.log").arg(i + 2), size, base.addYears(70)));
    for (int i = 0; i < 60; ++i) {
        foreign << QString("update_other_%1.log").arg(i, 2, 10, QChar('0'));
        QVERIFY(make(foreign.last(), 10, base.addYears(-1)));
    }
    foreign << "update_2001-01-01_00-00-00-000.log.bak"
            << "update_2001-01-01_00-00-00-000_x.log"
            << "notes.txt";
    for (const QString& name : foreign.mid(60))
        QVERIFY(make(name, 10, base.addYears(-1)));

    ServiceLog log(dir.path());
    log.begin_update({});
    log.end_update("ok");

    QStringList left = QDir(dir.path()).entryList(QDir::Files);
    QVERIFY(left.removeOne(QFileInfo(log.update_file()).fileName()));
    QStringList expected = foreign + old_files.mid(own - kept);
    std::sort(left.begin(), left.end());
    std::sort(expected.begin(), expected.end());
    QCOMPARE(left, expected);
}

// A file that may grow no further stands in for a full disk; the lines already written stay whole.
void tst_service_log::a_full_disk_ends_the_trace_with_the_reason()
{
    QTemporaryDir dir;
    ServiceLog log(dir.path());
    constexpr rlim_t room = 4096;
    rlimit previous{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &previous) == 0);
    void (*previous_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = previous;
    tight.rlim_cur = room;
    {
        const WarningCount count;
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &tight) == 0);
        log.begin_update({"2.3", "/dev/pts/7", "A#1.vkt", "00", {}});
        for (int i = 0; i < 200; ++i)
            log.note_sent(":10000000" + QByteArray(32, 'F') + '\r');
        log.end_update("TimeOut");
        ::setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previous_handler);
        QCOMPARE(warnings, 1);
    }

    const QString text = read_all(log.update_file());
    QVERIFY(text.size() <= int(room) && text.size() > int(room) - 200);
    const QStringList lines = text.split('\n');
    QCOMPARE(lines.last(), QString());
    for (const QString& line : lines.mid(0, lines.size() - 1))
        QVERIFY2(QRegularExpression("^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} (begin|program|port|package|sha256|sent) ")
                         .match(line)
                         .hasMatch() ||
                     line == lines.at(lines.size() - 2),
                 qPrintable(line));
    QVERIFY2(lines.at(lines.size() - 2)
                 .contains(QRegularExpression(
                     "^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} note trace cut here: the disk refused it \\(File too large\\)$")),
             qPrintable(lines.at(lines.size() - 2)));
}

QTEST_GUILESS_MAIN(tst_service_log)
#include "tst_service_log.moc"
