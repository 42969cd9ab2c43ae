#include "rules/package_rules.h"
#include "servicelog/service_log.h"
#include "servicelog/unit_record.h"
#include "support/window_under_test.h"

#include <QtTest>

#include <csignal>
#include <functional>
#include <sys/resource.h>

namespace
{

QStringList messages;
void keep_messages(QtMsgType, const QMessageLogContext&, const QString& text)
{
    messages << text;
}

const QString stamp = "\\d\\d:\\d\\d:\\d\\d\\.\\d{3} ";

bool make(const QString& path, qint64 bytes, const QDateTime& written)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(bytes) &&
           file.setFileTime(written, QFileDevice::FileModificationTime);
}

// Runs the work as on a disk that fills up at `room` bytes in a file; returns the messages it caused.
QStringList on_a_disk_with_room(rlim_t room, const std::function<void()>& work)
{
    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    rlimit tight = previous;
    tight.rlim_cur = room;
    void (*previous_handler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    messages.clear();
    qInstallMessageHandler(keep_messages);
    ::setrlimit(RLIMIT_FSIZE, &tight);
    work();
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previous_handler);
    qInstallMessageHandler(nullptr);
    return messages;
}

} // namespace

class tst_service_log : public QObject
{
    Q_OBJECT

private slots:
    void traces_an_update_with_stamps_and_short_lines();
    void ends_a_cut_trace_with_the_reason_data();
    void ends_a_cut_trace_with_the_reason();
    void appends_one_report_line_per_unit();
};

// Also: names cannot forge a line, nothing follows the outcome, the folder keeps its newest 50 (a clock over an hour
// ahead counts as oldest) beside look-alikes, and a folder that cannot be written costs one warning.
void tst_service_log::traces_an_update_with_stamps_and_short_lines()
{
    QTemporaryDir dir;
    // Bigger than one block of the hash's reads.
    const QByteArray package = QByteArray(200000, 'x') + "abc";
    QFile package_file(dir.filePath("A#1.vkt"));
    QVERIFY(package_file.open(QIODevice::WriteOnly) && package_file.write(package) == package.size());
    package_file.close();
    // Names and times disagree on purpose.
    QStringList kept{"update_2001-01-01_00-00-00-000.log.bak", "update_2001-01-01_00-00-00-000_x.log", "notes.txt"};
    const QDateTime now = QDateTime::currentDateTime();
    QVERIFY(QDir(dir.path()).mkdir("logs"));
    for (const QString& name : kept)
        QVERIFY(make(dir.filePath("logs/" + name), 10, now.addYears(-1)));
    for (int i = 0; i < 52; ++i) {
        const QString name = QString("update_2001-01-01_00-00-00-%1.log").arg(52 - i, 3, 10, QChar('0'));
        QVERIFY(make(dir.filePath("logs/" + name), 100, i < 3 ? now.addSecs(3603) : now.addDays(-30).addSecs(60 * i)));
        kept << (i < 3 ? QString() : name);
    }

    ServiceLog log(dir.filePath("logs"));
    log.begin_update({"2.3",
                      "/dev/pts/7\r",
                      "A\n00:00:00.000 outcome Operação realizada com Sucesso!\u2028.vkt",
                      package_rules::sha256_hex(package_file.fileName()),
                      {{"A.hex", 353}, {"e\u0080x\u009f\u00a0\x7f\\\u2029\u2026.hex", 12}},
                      "verified, key A70D1132597705E3: equipamento: A"});
    log.note_open("/dev/pts/7", true);
    log.note_received(QByteArray("#B_UAR \x1f~\x7f\x80\\"));
    log.note_received(QByteArray(100, 'r'));
    log.note_received({});
    log.note_rate(38400);
    log.note_sent(":10000000" + QByteArray(5000, 'F') + '\r');
    log.note_sent(":00000001FF\r");
    log.note_wait(1000);
    QTRY_VERIFY_WITH_TIMEOUT(read_file(log.update_file()).contains(" wait 1000 ms\n"), 100); // on disk before the pause
    log.note_timeout();
    log.note_lost();
    log.note_open("/dev/pts/7", false);
    log.note_close();
    log.note("é\n");
    log.end_update(QString(511, 'x') + "é, and what follows");
    log.note("late");

    kept.removeAll(QString());
    kept << QFileInfo(log.update_file()).fileName();
    kept.sort();
    QCOMPARE(QDir(log.folder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), kept);
    QVERIFY2(QRegularExpression("/update_\\d{4}-\\d\\d-\\d\\d_\\d\\d-\\d\\d-\\d\\d-\\d{3}\\.log$")
                 .match(log.update_file())
                 .hasMatch(),
             qPrintable(log.update_file()));
    QString text = QString::fromUtf8(read_file(log.update_file()));
    const QRegularExpression stamps("^" + stamp, QRegularExpression::MultilineOption);
    QCOMPARE(text.count(stamps), 23);
    // The stamps read the time of day to the millisecond, as the first line's date and time does.
    const auto time_at = [&text](int from) { return QTime::fromString(text.mid(from, 12), "HH:mm:ss.zzz"); };
    const int apart_ms = time_at(0).msecsTo(time_at(30));
    QVERIFY2((apart_ms + 86400100) % 86400000 < 200, qPrintable(text.left(50)));
    text.remove(stamps).replace(QRegularExpression(", \\d+ ms\n"), ", N ms\n");
    QVERIFY2(text.contains(
                 QRegularExpression("^begin \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d\n")),
             qPrintable(text.left(60)));
    // The whole trace after its first line, as support reads it: %1 the hash, %2 and %3 where lines were cut.
    QCOMPARE(text.mid(text.indexOf("program")),
             QString::fromUtf8(read_file(QFINDTESTDATA("update_trace.txt")))
                 .arg(QCryptographicHash::hash(package, QCryptographicHash::Sha256).toHex(), QString(64, 'r'),
                      QString(511, 'x')));

    QLoggingCategory::setFilterRules("vkt.link.debug=true");
    const QStringList shown = on_a_disk_with_room(RLIM_INFINITY, [&log] {
        ServiceLog console(log.update_file() + "/not-a-folder");
        console.end_update("idle");
        console.begin_update({});
        console.note_wait(1000);
        console.begin_update({});
    });
    QLoggingCategory::setFilterRules("vkt.link.debug=false");
    QCOMPARE(shown.size(), 18);
    QCOMPARE(QStringList({shown.at(0).mid(13), shown.at(1), shown.at(9).mid(13), shown.last().mid(13)}),
             QStringList({"outcome idle",
                          "The service log cannot be written in " + log.update_file() +
                              "/not-a-folder (cannot create the folder); the update goes on without it.",
                          "outcome abandoned: another update began", "outcome program closed during the update"}));
    // A later update whose file cannot be made names no file, not the last one's.
    QVERIFY(QDir(log.folder()).removeRecursively() && make(log.folder(), 0, now));
    log.begin_update({});
    QCOMPARE(log.update_file(), QString());
}

void tst_service_log::ends_a_cut_trace_with_the_reason_data()
{
    QTest::addColumn<qint64>("room");
    QTest::addColumn<int>("cut_at");
    QTest::addColumn<QString>("ending");

    const QString refused = "note trace cut here: the disk refused it \\(File too large\\)\n";
    QTest::newRow("the file's size limit")
        << qint64(RLIM_INFINITY) << int(ServiceLog::file_bytes_cap) - 1024
        << "note trace cut here: the file reached its size limit\n" + stamp +
               "summary lines sent 100000, bytes sent 10000000, chunks received 0, \\d+ ms\n" + stamp +
               "outcome TimeOut\n";
    // A file that may grow no further stands in for a full disk.
    QTest::newRow("a full disk") << qint64(4076) << 4005 << refused;
    QTest::newRow("a disk with room for the note alone") << qint64(71) << 0 << refused;
}

// The lines before the note stay whole: a 41-byte port name makes the header 180 bytes, four lines of 45 that end where
// the closing lines' reserve and a refused write's note begin. First the oldest file gives way for 4 MB to fit in 20.
void tst_service_log::ends_a_cut_trace_with_the_reason()
{
    QFETCH(qint64, room);
    QFETCH(int, cut_at);
    QFETCH(QString, ending);

    QTemporaryDir dir;
    for (int i = 0; i < 5; ++i) {
        const QDateTime written = QDateTime::currentDateTime().addDays(i - 10);
        QVERIFY(
            make(dir.filePath(QString("update_2001-01-01_00-00-00-00%1.log").arg(i)), i ? 4 << 20 : 10240, written));
    }
    ServiceLog log(dir.path());
    const QStringList shown = on_a_disk_with_room(static_cast<rlim_t>(room), [&log] {
        log.begin_update({"2.3", QString(41, 'p'), "x", "00", {}});
        for (int i = 0; i < 100000; ++i)
            log.note_sent(QByteArray(100, 'F'));
        // The closing lines come in a write of their own.
        QThread::msleep(300);
        log.end_update("TimeOut");
    });
    QCOMPARE(shown.size(), room == qint64(RLIM_INFINITY) ? 0 : 1);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 5);
    QVERIFY(!QFile::exists(dir.filePath("update_2001-01-01_00-00-00-000.log")));

    const QString text = QString::fromUtf8(read_file(log.update_file()));
    QCOMPARE(text.indexOf(QRegularExpression(stamp + "note")), cut_at);
    QVERIFY2(QRegularExpression("^" + stamp + ending + "$").match(text.mid(cut_at)).hasMatch(),
             qPrintable(text.mid(cut_at)));
}

// Field names and end words are what scripts read: they are compared whole, and a second unit's line stays parseable
// beside the first. A file that takes only part of a line, or cannot be written, is refused with a reason.
void tst_service_log::appends_one_report_line_per_unit()
{
    const QDateTime started(QDate(2024, 5, 1), QTime(14, 3, 22, 117), Qt::OffsetFromUTC, -3 * 3600);
    const QList<QPair<QString, qint64>> files{{"MAIN.s19", 1243}, {"event.s19", 12}};
    // clang-format off
    UnitRecord record{started, started.addSecs(95), "bench-2", "ttyUSB0", "A10K3ZQ", "0403:6001", "FT232R USB UART",
                      "ttyUSB0 A10K3ZQ", "/srv/pkg/A\n#1.vkt", "ba7816bf", files, "Operação realizada com Sucesso!",
                      bootloader_protocol::EndClass::success, 0, "/logs/update_2024-05-01_14-03-22-117.log",
                      "verified", "A70D1132597705E3"};
    // clang-format on
    QTemporaryDir dir;
    const QString path = dir.filePath("data/reports.jsonl");
    QString why;
    QVERIFY(unit_record::append(path, record, &why));
    record.usb_serial = record.usb_vid_pid = record.usb_description = QString();
    record.exit_code.reset();
    record.signature = "unreadable";
    record.signature_key.clear();
    record.started = record.started.toUTC();
    record.ended = record.ended.toOffsetFromUtc(5 * 3600 + 1800);
    record.end_class = bootloader_protocol::EndClass::unexpected_answer;
    QVERIFY(unit_record::append(path, record, &why));

    const QString line =
        R"({"adapter_identity":"ttyUSB0 A10K3ZQ","end_class":"%1","end_text":"Operação realizada com )"
        R"(Sucesso!","ended":"%2",%3"files":[{"name":"MAIN.s19","size":1243},{"name":"event.s19",)"
        R"("size":12}],"host":"bench-2","package_path":"/srv/pkg/A\n#1.vkt","package_sha256":"ba7816bf",)"
        R"("port":"ttyUSB0","service_log":"/logs/update_2024-05-01_14-03-22-117.log",%6"started":"%4"%5})"
        "\n";
    QCOMPARE(QString::fromUtf8(read_file(path)),
             line.arg("success", "2024-05-01T14:04:57.117-03:00", R"("exit_code":0,)", "2024-05-01T14:03:22.117-03:00",
                      R"(,"usb_description":"FT232R USB UART","usb_serial":"A10K3ZQ","usb_vid_pid":"0403:6001")",
                      R"("signature":"verified","signature_key":"A70D1132597705E3",)") +
                 line.arg("unexpected_answer", "2024-05-01T22:34:57.117+05:30", "", "2024-05-01T17:03:22.117+00:00", "",
                          R"("signature":"unreadable",)"));

    bool appended = true;
    on_a_disk_with_room(QFileInfo(path).size() + 10, [&] { appended = unit_record::append(path, record, &why); });
    QVERIFY(!appended);
    QCOMPARE(why,
             "the disk took 10 of the line's " + QString::number(unit_record::json_line(record).size()) + " bytes");
    QVERIFY(!unit_record::append(dir.filePath("data"), record, &why));
    QVERIFY(!unit_record::append(path + "/reports.jsonl", record, &why));
    QCOMPARE(why, "cannot create the folder " + path);
    QCOMPARE(ServiceLog::default_folder().replace("/service-log", "/reports.jsonl"),
             unit_record::default_reports_path());
}

QTEST_GUILESS_MAIN(tst_service_log)
#include "tst_service_log.moc"
