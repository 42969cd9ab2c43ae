#include "support/package_builder.h"
#include "support/window_under_test.h"

#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

class tst_equipment_simulator : public QObject
{
    Q_OBJECT

private slots:
    void tool_plays_a_usb_bootloader_to_a_reader_that_leaves();
    void tool_plays_a_uart_bootloader_on_a_serial_port();
    void tool_command_line_data();
    void tool_command_line();
};

namespace
{
// Writes the bytes, then gathers each read the line gives until the last one ends with `until`.
QList<QByteArray> exchange(int line, const QByteArray& bytes, const QByteArray& until)
{
    QList<QByteArray> reads;
    QElapsedTimer elapsed;
    elapsed.start();
    const bool written = ::write(line, bytes.constData(), bytes.size()) == bytes.size();
    while (written && !until.isEmpty() && (reads.isEmpty() || !reads.last().endsWith(until)) &&
           elapsed.elapsed() < 5000) {
        pollfd probe{line, POLLIN, 0};
        char chunk[256];
        const ssize_t n = ::poll(&probe, 1, 100) > 0 ? ::read(line, chunk, sizeof chunk) : 0;
        if (n > 0)
            reads.append(QByteArray(chunk, static_cast<int>(n)));
    }
    return reads;
}

speed_t line_rate(int line)
{
    termios settings{};
    ::tcgetattr(line, &settings);
    return ::cfgetospeed(&settings);
}
} // namespace

// As a technician runs it, read through `sed 4q`: its own pseudo-terminal and a USB bootloader. The token is printed as
// typed, '%' and all, and the tool plays to the end after its reader has gone: an end token split at its last byte.
void tst_equipment_simulator::tool_plays_a_usb_bootloader_to_a_reader_that_leaves()
{
    QProcess tool;
    QProcess reader;
    tool.setStandardOutputProcess(&reader);
    reader.start(QStringLiteral("sed"), {"-u", "4q"});
    tool.start(QStringLiteral(VKT_EQUIPMENT_SIM), {"--fail-after", "1:1:#B%1%2", "--silent", "2"});
    QVERIFY(reader.waitForReadyRead(5000));
    const QByteArray path = reader.readLine().trimmed();
    const int line = ::open(path.constData(), O_RDWR | O_NOCTTY);
    QVERIFY2(line >= 0, path.constData());
    QCOMPARE(exchange(line, "#B_STR", "#B_MAX"), QList<QByteArray>({"#B_USB", "#B_MAX"}));
    QCOMPARE(exchange(line, "#\r#B_STR", "#B%1%2"), QList<QByteArray>({"#B%1%2"}));
    QVERIFY(reader.waitForFinished(5000));
    QCOMPARE(reader.readAllStandardOutput(), "file 1: started\nfault: #B%1%2 after file 1 line 1\n"
                                             "fault: silent from file 2 on\n");

    exchange(line, "#B_EN", {});
    QTest::qWait(100);
    exchange(line, "D", {});
    QVERIFY(tool.waitForFinished(5000));
    QCOMPARE(tool.exitStatus(), QProcess::NormalExit);
    QCOMPARE(tool.exitCode(), 0);
    QCOMPARE(tool.readAllStandardError(), "Connect the update tool to the port above.\n");
    ::close(line);
}

// On a serial port (a pseudo-terminal of the test's own sharing its settings) the UART's rate is set on the line before
// "#B_MAX", and the connecting rate before and after a confirmation and after a failure. Judged on uart_session.txt.
void tst_equipment_simulator::tool_plays_a_uart_bootloader_on_a_serial_port()
{
    int line = -1;
    int slave = -1;
    char name[64] = {};
    QVERIFY(::openpty(&line, &slave, name, nullptr, nullptr) == 0);
    QProcess tool;
    tool.start(QStringLiteral(VKT_EQUIPMENT_SIM),
               {"--port", name, "--uart", "--reset", "1", "--fail-after", "5:5", "--keep-going", "--hang-up", "6:2"});
    tool.setReadChannel(QProcess::StandardError);
    QTRY_VERIFY(tool.canReadLine());
    QCOMPARE(tool.readLine(), "Playing the equipment on " + QByteArray(name) + ".\n");
    QCOMPARE(line_rate(line), speed_t(B19200));

    // Two records bring one report, at half; twenty one at each tenth up to 90 %. Then the programming's.
    const QByteArray small = package_builder::converted_firmware('C', 2);
    const QByteArray large = package_builder::converted_firmware('A', 20);
    QByteArray answers;
    for (int percent = 10; percent <= 95; percent += percent < 90 ? 10 : 5)
        answers += "#B_PR" + QByteArray(1, static_cast<char>(percent));
    const QByteArray announced = "#B_UAR#B_MAX";
    QCOMPARE(exchange(line, "#B_STR", "#B_MAX").join(), announced);
    QCOMPARE(line_rate(line), speed_t(B38400));
    QCOMPARE(exchange(line, small, "#B_BOK").join(), "#B_PR2#B_PR_#B_ENV#B_RST#B_BOK");
    QCOMPARE(line_rate(line), speed_t(B19200));
    QCOMPARE(exchange(line, "#B_STR", "#B_MAX").join(), announced);
    QCOMPARE(exchange(line, large, "#B_BOK").join(), answers + "#B_ENV#B_BOK");
    QTRY_COMPARE(line_rate(line), speed_t(B19200));
    QCOMPARE(exchange(line, "#B_STR", "#B_MAX").join(), announced);
    QCOMPARE(exchange(line, QByteArray("\0\n\r#B_STR", 9), "#B_MAX").join(), announced);
    QCOMPARE(exchange(line, "\n\rZ\r015\r0\x01\rzz#B_STR", "#B_MAX").join(), announced);
    QCOMPARE(exchange(line, small.left(small.lastIndexOf('\r', small.size() - 2) + 1), "#B_CRC").join(), "#B_CRC");
    QTRY_COMPARE(line_rate(line), speed_t(B19200));
    QCOMPARE(exchange(line, "#B_END#B_STR", "#B_MAX").join(), announced);
    exchange(line, small.left(4), {});

    QVERIFY(tool.waitForFinished(5000));
    QCOMPARE(tool.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(tool.readAllStandardOutput()),
             QString::fromUtf8(read_file(QFINDTESTDATA("uart_session.txt"))).arg(small.size()).arg(large.size()));
    ::close(slave);
    ::close(line);
}

// What a script sees: the status tells a usage error (2) from a package with problems (1); a refusal is a stderr line.
void tst_equipment_simulator::tool_command_line_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("said");

    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << "Unknown option 'bogus'. See --help.\n";
    QTest::newRow("empty failure token") << QStringList{"--fail-after", "1:10:"} << 2
                                         << "Unusable fault option; see --help.\n";
    QTest::newRow("file 0") << QStringList{"--reset", "0"} << 2 << "Unusable fault option; see --help.\n";
    QTest::newRow("port that cannot open") << QStringList{"--port", "/nonexistent/tty"} << 2
                                           << "Cannot open /nonexistent/tty: No such file or directory.\n";
    QTest::newRow("a package given") << QStringList{"--uart", "A#1.vkt"} << 2
                                     << "Unexpected argument 'A#1.vkt': the tool plays the equipment and takes no "
                                        "package; to check a package, run vkt-update --check PACKAGE.\n";
    QTest::newRow("help") << QStringList{"--help"} << 0
                          << QString::fromUtf8(read_file(QFINDTESTDATA("tool_help.txt"))).arg(VKT_EQUIPMENT_SIM);
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
    QCOMPARE(shown, said);
    QCOMPARE(status == 0 ? tool.readAllStandardError() : tool.readAllStandardOutput(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_equipment_simulator)
#include "tst_equipment_simulator.moc"
