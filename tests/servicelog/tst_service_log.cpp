#include "rules/package_rules.h"
#include "servicelog/service_log.h"
#include "servicelog/unit_record.h"

#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace
{

int warnings = 0;
void count_warnings(QtMsgType type, const QMessageLogContext&, const QString&)
{
    warnings += type == QtWarningMsg;
}

const QString stamp = "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} ";

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
    void appends_one_report_line_per_unit();
};

// Also: names cannot forge a line, nothing reaches the file after the outcome, and a folder that cannot be
// written costs the update one console warning and nothing else.
void tst_service_log::traces_an_update_with_stamps_and_short_lines()
{
    QTemporaryDir dir;
    // Bigger than one block of the hash's reads.
    const QByteArray package = QByteArray(200000, 'x') + "abc";
    QFile package_file(dir.filePath("A#1.vkt"));
    QVERIFY(package_file.open(QIODevice::WriteOnly) && package_file.write(package) == package.size());
    package_file.close();

    ServiceLog log(dir.filePath("logs"));
    log.begin_update({"2.3",
                      "/dev/pts/7\r",
                      "A\n00:00:00.000 outcome Operação realizada com Sucesso!\u2028.vkt",
                      package_rules::sha256_hex(package_file.fileName()),
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
    QVERIFY2(text.contains(QRegularExpression(
                 "^" + stamp + "begin \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d\n")),
             qPrintable(text));
    const QStringList lines = {
        "program 2.3\n",
        "port /dev/pts/7\\x0d\n",
        "package A\\x0a00:00:00.000 outcome Operação realizada com Sucesso!\\xe2\\x80\\xa8.vkt\n",
        "sha256 " + QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex() + '\n',
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
        QVERIFY2(text.contains(QRegularExpression("(^|\n)" + stamp + QRegularExpression::escape(line))),
                 qPrintable(line));
    QVERIFY(text.endsWith("outcome TimeOut\n"));

    log.set_folder(log.update_file() + "/not-a-folder");
    warnings = 0;
    qInstallMessageHandler(count_warnings);
    log.begin_update({});
    log.note_sent(":00000001FF\r");
    log.end_update("ok");
    qInstallMessageHandler(nullptr);
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
    QStringList old_files;
    QStringList foreign{"update_2001-01-01_00-00-00-000.log.bak", "update_2001-01-01_00-00-00-000_x.log", "notes.txt"};
    for (int i = 0; i < 60; ++i)
        foreign << QString("update_other_%1.log").arg(i, 2, 10, QChar('0'));
    for (const QString& name : foreign)
        QVERIFY(make(name, 10, base.addYears(-1)));
    for (int i = 0; i < own; ++i) {
        old_files << QString("update_2001-01-01_00-00-00-%1.log").arg(own - i, 3, 10, QChar('0'));
        QVERIFY(make(old_files.last(), size, base.addSecs(60 * i)));
    }
    for (int i = 0; i < future; ++i)
        QVERIFY(make(QString("update_2099-01-01_00-00-00-000_%1.log").arg(i + 2), size, base.addYears(70)));

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
    constexpr int room = 4096;
    rlimit previous{};
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &previous) == 0);
    rlimit tight = previous;
    tight.rlim_cur = room;
    void (*previous_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    warnings = 0;
    qInstallMessageHandler(count_warnings);
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &tight) == 0);
    log.begin_update({"2.3", "/dev/pts/7", "A#1.vkt", "00", {}});
    for (int i = 0; i < 200; ++i)
        log.note_sent(":10000000" + QByteArray(32, 'F') + '\r');
    log.end_update("TimeOut");
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previous_handler);
    qInstallMessageHandler(nullptr);
    QCOMPARE(warnings, 1);

    const QString text = read_all(log.update_file());
    QVERIFY(text.size() <= room && text.size() > room - 200);
    QVERIFY2(QRegularExpression("^(" + stamp + "(begin|program|port|package|sha256|sent) [^\n]*\n)+" + stamp +
                                "note trace cut here: the disk refused it \\(File too large\\)\n$")
                 .match(text)
                 .hasMatch(),
             qPrintable(text.right(200)));
}

// Field names and end words are what scripts read: they are compared whole, and a second unit's line stays
// parseable beside the first. A folder that cannot be written is refused with a reason.
void tst_service_log::appends_one_report_line_per_unit()
{
    UnitRecord record;
    record.started = QDateTime(QDate(2024, 5, 1), QTime(14, 3, 22, 117), Qt::OffsetFromUTC, -3 * 3600);
    record.ended = record.started.addSecs(95);
    record.host = "bench-2";
    record.port = "ttyUSB0";
    record.adapter_identity = "ttyUSB0 A10K3ZQ";
    record.usb_serial = "A10K3ZQ";
    record.usb_vid_pid = "0403:6001";
    record.usb_description = "FT232R USB UART";
    record.package_path = "/srv/pkg/A\n#1.vkt";
    record.package_sha256 = "ba7816bf";
    record.files = {{"MAIN.s19", 1243}, {"event.s19", 12}};
    record.end_text = "Operação realizada com Sucesso!";
    record.end_class = bootloader_protocol::EndClass::success;
    record.exit_code = 0;
    record.service_log = "/logs/update_2024-05-01_14-03-22-117.log";
    QTemporaryDir dir;
    const QString path = dir.filePath("data/reports.jsonl");
    QString why;
    QVERIFY(unit_record::append(path, record, &why));
    record.usb_serial = record.usb_vid_pid = record.usb_description = QString();
    record.exit_code.reset();
    record.end_class = bootloader_protocol::EndClass::unexpected_answer;
    QVERIFY(unit_record::append(path, record, &why));

    const QStringList lines = read_all(path).split('\n');
    QCOMPARE(lines.size(), 3);
    QCOMPARE(lines.at(2), QString());
    QCOMPARE(QJsonDocument::fromJson(lines.at(0).toUtf8()).object(), QJsonDocument::fromJson(R"({
        "started": "2024-05-01T14:03:22.117-03:00", "ended": "2024-05-01T14:04:57.117-03:00",
        "host": "bench-2", "port": "ttyUSB0",
        "usb_serial": "A10K3ZQ", "usb_vid_pid": "0403:6001", "usb_description": "FT232R USB UART",
        "adapter_identity": "ttyUSB0 A10K3ZQ",
        "package_path": "/srv/pkg/A\n#1.vkt", "package_sha256": "ba7816bf",
        "files": [{"name": "MAIN.s19", "size": 1243}, {"name": "event.s19", "size": 12}],
        "end_text": "Operação realizada com Sucesso!", "end_class": "success", "exit_code": 0,
        "service_log": "/logs/update_2024-05-01_14-03-22-117.log"})")
                                                                         .object());
    const QJsonObject second = QJsonDocument::fromJson(lines.at(1).toUtf8()).object();
    QCOMPARE(second.value("end_class").toString(), QString("unexpected_answer"));
    for (const char* absent : {"usb_serial", "usb_vid_pid", "usb_description", "exit_code"})
        QVERIFY2(!second.contains(absent), absent);

    QVERIFY(!unit_record::append(path + "/reports.jsonl", record, &why));
    QVERIFY2(why.contains(path), qPrintable(why));
    QCOMPARE(unit_record::default_reports_path(), QFileInfo(ServiceLog::default_folder()).path() + "/reports.jsonl");
}

QTEST_GUILESS_MAIN(tst_service_log)
#include "tst_service_log.moc"
