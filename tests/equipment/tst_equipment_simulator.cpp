#include "rules/firmware_rules.h"
#include "support/package_builder.h"

#include <QProcess>
#include <QSerialPort>
#include <QtTest>

class tst_equipment_simulator : public QObject
{
    Q_OBJECT

private slots:
    void check_received_data();
    void check_received();
    void tool_plays_a_usb_bootloader();
    void tool_command_line_data();
    void tool_command_line();
    void tool_plays_on_after_its_reader_left();
};

// Each broken row keeps the line's length, so exactly one check can object.
void tst_equipment_simulator::check_received_data()
{
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("at");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("problem");

    QTest::newRow("sound converted file") << 0 << 0 << QByteArray() << QString();
    QTest::newRow("line count field one too many")
        << 3 << 0 << QByteArray("015\r") << "line 3: expected line count \"014\"";
    QTest::newRow("size field wrong") << 4 << 3 << QByteArray("6") << "line 4: expected";
    QTest::newRow("unknown board identifier") << 2 << 0 << QByteArray("Z\r") << "line 2: expected a board";
    QTest::newRow("line feed in a record") << 6 << 3 << QByteArray("\n") << "line 6: line feed at byte 4";
    QTest::newRow("last line without CR") << 24 << 16 << QByteArray("D") << "line 24: expected CR";
    QTest::newRow("NUL in a record") << 11 << 0 << QByteArray(1, '\0') << "line 11: NUL at byte 1";
}

void tst_equipment_simulator::check_received()
{
    QFETCH(int, line);
    QFETCH(int, at);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, problem);

    QList<QByteArray> lines = package_builder::cr_lines(package_builder::converted_firmware('C', 20));
    QCOMPARE(lines.size(), 24);
    if (line > 0) {
        const int size = lines[line - 1].size();
        lines[line - 1].replace(at, bytes.size(), bytes);
        QCOMPARE(lines[line - 1].size(), size);
    }
    const QStringList problems = firmware_rules::check_received(lines);
    QCOMPARE(problems.size(), problem.isEmpty() ? 0 : 1);
    if (!problem.isEmpty())
        QVERIFY2(problems.first().startsWith(problem), qPrintable(problems.first()));
}

namespace
{
// Each read the line gives until the last one ends with the text: one read per write of the equipment.
QList<QByteArray> deliveries_until(QSerialPort& port, const QByteArray& text)
{
    QList<QByteArray> reads;
    QElapsedTimer elapsed;
    elapsed.start();
    while ((reads.isEmpty() || !reads.last().endsWith(text)) && elapsed.elapsed() < 5000) {
        if (port.waitForReadyRead(100))
            reads.append(port.readAll());
    }
    return reads;
}
} // namespace

// The tool as a technician runs it: a pseudo-terminal, a USB bootloader, one sound file, a summary.
void tst_equipment_simulator::tool_plays_a_usb_bootloader()
{
    QProcess tool;
    tool.start(QStringLiteral(VKT_EQUIPMENT_SIM), QStringList());
    QVERIFY(tool.waitForReadyRead(5000));
    const QByteArray path = tool.readLine().trimmed();

    QSerialPort port(QString::fromLocal8Bit(path));
    port.setBaudRate(QSerialPort::Baud19200);
    port.setDataBits(QSerialPort::Data8);
    port.setParity(QSerialPort::NoParity);
    port.setStopBits(QSerialPort::OneStop);
    port.setFlowControl(QSerialPort::NoFlowControl);
    QVERIFY2(port.open(QIODevice::ReadWrite), path.constData());
    port.write("#B_STR");
    QCOMPARE(deliveries_until(port, "#B_MAX"), QList<QByteArray>({"#B_USB", "#B_MAX"}));

    // Twenty records: a report at each tenth up to 90 %, then the programming.
    const QByteArray firmware = package_builder::converted_firmware('C', 20);
    QList<QByteArray> answers;
    for (int percent = 10; percent <= 95; percent += percent < 90 ? 10 : 5)
        answers << "#B_PR" + QByteArray(1, static_cast<char>(percent));
    answers << "#B_ENV"
            << "#B_BOK";
    port.write(firmware);
    QCOMPARE(deliveries_until(port, "#B_BOK"), answers);

    port.write("#B_END");
    port.waitForBytesWritten(1000);
    QVERIFY(tool.waitForFinished(5000));
    QCOMPARE(tool.exitCode(), 0);
    QCOMPARE(tool.readAllStandardOutput(), "file 1: started\nfile 1: board C, 24 lines, " +
                                               QByteArray::number(firmware.size()) + " bytes: OK\nend of package\n");
}

// What a script sees: the status tells a usage error (2) from a package with problems (1), and a refusal is one
// line on stderr.
void tst_equipment_simulator::tool_command_line_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");

    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << "Unknown option 'bogus'. See --help.\n";
    QTest::newRow("empty failure token") << QStringList{"--fail-after", "1:10:"} << 2
                                         << "Unusable fault option; see --help.\n";
    QTest::newRow("port that cannot open") << QStringList{"--port", "/nonexistent/tty"} << 2
                                           << "Cannot open /nonexistent/tty: No such file or directory.\n";
    QTest::newRow("a package given") << QStringList{"--uart", "A#1.vkt"} << 2
                                     << "Unexpected argument 'A#1.vkt': the tool plays the equipment and takes no "
                                        "package; to check a package, run vkt-update --check PACKAGE.\n";
    QTest::newRow("help") << QStringList{"--help"} << 0 << "  --fail-after <FILE:LINE[:TOKEN]>";
    QTest::newRow("version") << QStringList{"--version"} << 0 << "vkt_equipment_sim 2.3\n";
}

void tst_equipment_simulator::tool_command_line()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, said);

    QProcess tool;
    tool.start(QStringLiteral(VKT_EQUIPMENT_SIM), arguments);
    QVERIFY(tool.waitForFinished(5000));
    QCOMPARE(tool.exitCode(), status);
    // Help and version go to stdout; a refusal is one line on stderr.
    const QString shown = status == 0 ? tool.readAllStandardOutput() : tool.readAllStandardError();
    QVERIFY2(status == 0 ? shown.contains(said) : shown == said, qPrintable(shown));
    QCOMPARE(status == 0 ? tool.readAllStandardError() : tool.readAllStandardOutput(), QByteArray());
}

// As in `vkt_equipment_sim | sed 3q`: the token is printed as typed, '%' and all, and the tool plays to the end
// after its reader has gone.
void tst_equipment_simulator::tool_plays_on_after_its_reader_left()
{
    QProcess tool;
    QProcess reader;
    tool.setStandardOutputProcess(&reader);
    reader.start(QStringLiteral("sed"), {"-u", "3q"});
    tool.start(QStringLiteral(VKT_EQUIPMENT_SIM), {"--fail-after", "1:1:#B%1%2"});
    QVERIFY(reader.waitForReadyRead(5000));
    QSerialPort port(QString::fromLocal8Bit(reader.readLine().trimmed()));
    QVERIFY(port.open(QIODevice::ReadWrite));
    port.write("#B_STR");
    QCOMPARE(deliveries_until(port, "#B_MAX"), QList<QByteArray>({"#B_USB", "#B_MAX"}));
    port.write("#\r");
    QCOMPARE(deliveries_until(port, "#B%1%2"), QList<QByteArray>({"#B%1%2"}));
    QVERIFY(reader.waitForFinished(5000));
    QCOMPARE(reader.readAllStandardOutput(), "file 1: started\nfault: #B%1%2 after file 1 line 1\n");

    port.write("#B_END");
    port.waitForBytesWritten(1000);
    QVERIFY(tool.waitForFinished(5000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 0);
}

QTEST_GUILESS_MAIN(tst_equipment_simulator)
#include "tst_equipment_simulator.moc"
