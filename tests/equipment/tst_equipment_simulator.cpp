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

QTEST_GUILESS_MAIN(tst_equipment_simulator)
#include "tst_equipment_simulator.moc"
