#include "servicelog/service_log.h"

#include <QtTest>

class tst_service_log : public QObject
{
    Q_OBJECT

private slots:
    // Also: a folder that cannot be written costs the update one console warning and nothing else.
    void traces_an_update_with_stamps_and_short_lines()
    {
        QTemporaryDir dir;
        ServiceLog log(dir.path());
        log.begin_update("A#1.vkt");
        log.note_received("#B_UAR");
        log.note_rate(38400);
        log.note_sent(":10000000" + QByteArray(5000, 'F') + '\r');
        log.note_wait(1000);
        log.note_timeout();
        log.end_update("TimeOut");

        QFile file(log.folder() + '/' + QDir(dir.path()).entryList({"update_*.log"}).value(0));
        QVERIFY(file.open(QIODevice::ReadOnly | QIODevice::Text) && file.size() < 1000);
        const QString text = QString::fromUtf8(file.readAll());
        for (const char* line :
             {"begin A#1.vkt", "recv 6 B #B_UAR", "rate 38400", "sent 5010 B :10000000FFFFFFF ...", "wait 1000 ms",
              "timeout", "summary lines sent 1, bytes sent 5010,", "outcome TimeOut"})
            QVERIFY2(text.contains(
                         QRegularExpression("(^|\n)\\d\\d:\\d\\d:\\d\\d\\.\\d{3} " + QRegularExpression::escape(line))),
                     line);

        log.set_folder(file.fileName() + "/not-a-folder");
        static int warnings = 0;
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType type, const QMessageLogContext&, const QString&) { warnings += type == QtWarningMsg; });
        log.begin_update("A#1.vkt");
        log.note_sent(":00000001FF\r");
        log.end_update("ok");
        qInstallMessageHandler(previous);
        QCOMPARE(warnings, 1);
    }

    void keeps_the_newest_files_within_count_and_size()
    {
        for (const auto& [old_files, old_size, old_kept] : {std::tuple{60, 100, 49}, std::tuple{8, 3 << 20, 5}}) {
            QTemporaryDir dir;
            const QString old_name = dir.filePath("update_2001-01-01_00-00-00-%1.log");
            for (int i = 0; i < old_files; ++i)
                QVERIFY(QFile(old_name.arg(i, 3, 10, QChar('0'))).open(QIODevice::WriteOnly) &&
                        QFile::resize(old_name.arg(i, 3, 10, QChar('0')), old_size));
            QVERIFY(QFile(dir.filePath("notes.txt")).open(QIODevice::WriteOnly));
            ServiceLog(dir.path()).begin_update("A#1.vkt");

            const QStringList files = QDir(dir.path()).entryList({"update_*.log"}, QDir::Files, QDir::Name);
            QCOMPARE(files.size(), old_kept + 1);
            QCOMPARE(dir.filePath(files.at(old_kept - 1)), old_name.arg(old_files - 1, 3, 10, QChar('0')));
            QVERIFY(QFile::exists(dir.filePath("notes.txt")));
        }
    }
};

QTEST_GUILESS_MAIN(tst_service_log)
#include "tst_service_log.moc"
