#include "app/archive.h"
#include "app/package_rules.h"

#include <QBuffer>
#include <QtTest>

namespace
{

QList<QByteArray> chunks_of(const Archive& archive)
{
    QList<QByteArray> chunks;
    for (const auto& line : archive.lines)
        chunks.append(*line);
    return chunks;
}

void load_bytes(Archive& archive, const QByteArray& bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    archive_rules::load(archive, buffer);
}

} // namespace

class tst_package_rules : public QObject
{
    Q_OBJECT

private slots:
    void package_name_data();
    void package_name();
    void extraction_folder_data();
    void extraction_folder();
    void counter_text();
    void event_file_goes_last_data();
    void event_file_goes_last();
    void archive_chunks_data();
    void archive_chunks();
    void reload_and_clear();
    void wire_bytes_stop_at_nul();
};

void tst_package_rules::package_name_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("plain package") << "C:/pacotes/X.vkt" << true;
    QTest::newRow("extension not at the end") << "C:/pacotes/X.vkt.bak" << true;
    QTest::newRow("upper-case extension") << "C:/pacotes/X.VKT" << false;
    QTest::newRow("no dot before vkt") << "C:/pacotes/Xvkt" << false;
}

void tst_package_rules::package_name()
{
    QFETCH(QString, path);
    QFETCH(bool, accepted);
    QCOMPARE(package_rules::is_package_name(path), accepted);
}

void tst_package_rules::extraction_folder_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("folder");

    QTest::newRow("dot in a folder name, two in the file name") << "C:/users/a.b/pkg.v2.vkt"
                                                                << "C:/users/a.b/pkg";
    QTest::newRow("no folder") << "X.vkt"
                               << "X";
    QTest::newRow("name starting with a dot") << "/home/op/pacotes/.X.vkt"
                                              << "/home/op/pacotes/";
}

void tst_package_rules::extraction_folder()
{
    QFETCH(QString, package);
    QFETCH(QString, folder);
    QCOMPARE(package_rules::extraction_folder(package), folder);
}

void tst_package_rules::counter_text()
{
    QCOMPARE(package_rules::counter_text(0, 12), QStringLiteral(" (0 / 12)"));
    QCOMPARE(package_rules::counter_text(1, 12), QStringLiteral(" (1 / 12)"));
    QCOMPARE(package_rules::counter_text(10, 12), QStringLiteral(" (10 / 12)"));
}

void tst_package_rules::event_file_goes_last_data()
{
    QTest::addColumn<QList<QString>>("files");
    QTest::addColumn<QList<QString>>("sent");

    QTest::newRow("only the first event file moves, any letter case")
        << QList<QString>{"/p/MAIN_1", "/p/Event_2", "/p/GRID_3", "/p/EVENT_4"}
        << QList<QString>{"/p/MAIN_1", "/p/GRID_3", "/p/EVENT_4", "/p/Event_2"};
    QTest::newRow("event in a folder part does not count")
        << QList<QString>{"/tmp/event/MAIN_1", "/tmp/event/xEvEnTx", "/tmp/event/GRID_3"}
        << QList<QString>{"/tmp/event/MAIN_1", "/tmp/event/GRID_3", "/tmp/event/xEvEnTx"};
}

void tst_package_rules::event_file_goes_last()
{
    QFETCH(QList<QString>, files);
    QFETCH(QList<QString>, sent);
    package_rules::move_event_file_last(files);
    QCOMPARE(files, sent);
}

void tst_package_rules::archive_chunks_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<int>("line_count");

    QTest::newRow("two CR lines") << QByteArray("#\rA\r") << QList<QByteArray>{"#\r", "A\r", ""} << 2;
    QTest::newRow("no CR") << QByteArray("S1000000") << QList<QByteArray>{"S1000000"} << 0;
    QTest::newRow("CR LF line ends") << QByteArray("x\r\ny\r\n") << QList<QByteArray>{"x\r", "\ny\r", "\n"} << 2;
    QTest::newRow("empty file") << QByteArray("") << QList<QByteArray>{""} << 0;
    QTest::newRow("NUL and high bytes kept")
        << QByteArray("A\0B\r\xFF\r", 6) << QList<QByteArray>{QByteArray("A\0B\r", 4), "\xFF\r", ""} << 2;
}

void tst_package_rules::archive_chunks()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(int, line_count);
    Archive archive;
    load_bytes(archive, bytes);
    QCOMPARE(chunks_of(archive), chunks);
    QCOMPARE(archive.line_count, line_count);
}

void tst_package_rules::reload_and_clear()
{
    Archive archive;
    load_bytes(archive, "one\rtwo\rthree\rfour\r");
    load_bytes(archive, "#\rA\r");
    QCOMPARE(chunks_of(archive), (QList<QByteArray>{"#\r", "A\r", ""}));
    QCOMPARE(archive.line_count, 2);

    archive_rules::clear(archive);
    archive_rules::clear(archive);
    QVERIFY(archive.lines.empty());
    QCOMPARE(archive.line_count, 0);
}

void tst_package_rules::wire_bytes_stop_at_nul()
{
    QCOMPARE(archive_rules::wire_bytes("S1AB\r"), QByteArray("S1AB\r"));
    QCOMPARE(archive_rules::wire_bytes(QByteArray("S1\0AB\r", 6)), QByteArray("S1"));
}

QTEST_GUILESS_MAIN(tst_package_rules)
#include "tst_package_rules.moc"
