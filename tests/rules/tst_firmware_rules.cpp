#include "rules/firmware_rules.h"
#include "support/package_builder.h"

#include <QtTest>

using namespace firmware_rules;

Q_DECLARE_METATYPE(Refusal)

class tst_firmware_rules : public QObject
{
    Q_OBJECT

private slots:
    void header_fields_data();
    void header_fields();
    void conversion_data();
    void conversion();
};

// Built from real CR LF input, so the counting of lines and bytes is covered with the field widths, and a CR LF file
// comes out as it always has: the header, then the input with its LFs dropped.
void tst_firmware_rules::header_fields_data()
{
    QTest::addColumn<int>("lines");
    QTest::addColumn<int>("body_bytes");
    QTest::addColumn<QByteArray>("header");

    QTest::newRow("L 255, padded") << 255 << 300 << QByteArray("#\rC\r0FF\r0139\r");
    QTest::newRow("L 256, unpadded") << 256 << 300 << QByteArray("#\rC\r100\r0139\r");
    QTest::newRow("L 4095, T not raised") << 4095 << 5000 << QByteArray("#\rC\rFFF\r01395\r");
    QTest::newRow("L 4096, T one more") << 4096 << 5000 << QByteArray("#\rC\r1000\r01396\r");
    QTest::newRow("N 65535, padded") << 300 << 65535 << QByteArray("#\rC\r12C\r01000C\r");
    QTest::newRow("N 65536, unpadded") << 300 << 65536 << QByteArray("#\rC\r12C\r1000D\r");
    QTest::newRow("N 1048575, T not raised") << 300 << 1048575 << QByteArray("#\rC\r12C\r10000C\r");
    QTest::newRow("N 1048576, T one more") << 300 << 1048576 << QByteArray("#\rC\r12C\r10000E\r");
}

void tst_firmware_rules::header_fields()
{
    QFETCH(int, lines);
    QFETCH(int, body_bytes);
    QFETCH(QByteArray, header);

    // Lines of uneven length, some empty, and bytes above 0x7F that must pass unchanged.
    QByteArray text(body_bytes - lines, 'S');
    text.replace(text.size() - 2, 2, "\xC3\xFF");
    QByteArray input;
    for (qint64 i = 0; i < lines; ++i) {
        const qint64 start = i * text.size() / lines;
        input += text.mid(int(start), int((i + 1) * text.size() / lines - start)) + "\r\n";
    }
    QCOMPARE(rewritten(input, 'C'), header + QByteArray(input).replace('\n', QByteArray()));
}

// Every line end gives what its CR LF twin gives, and whatever is written the equipment accepts.
void tst_firmware_rules::conversion_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("twin");
    QTest::addColumn<char>("board");
    QTest::addColumn<Refusal>("refusal");

    const QByteArray crlf("S0030000FC\r\nS1\xE7\xFF"
                          "0000\r\nS9030000FC\r\n");
    const auto row = [&](const char* what, const char* name, const QByteArray& raw, char board = 'E',
                         const QByteArray& twin = {}) {
        QTest::newRow(what) << name << raw << (twin.isNull() ? crlf : twin) << board << Refusal::none;
    };
    row("CR LF", "bat_fw.s19", crlf);
    row("LF", "bat_fw.s19", QByteArray(crlf).replace("\r\n", "\n"));
    row("CR", "bat_fw.s19", QByteArray(crlf).replace("\r\n", "\r"));
    row("CR LF and LF", "bat_fw.s19", QByteArray(crlf).replace("FC\r\n", "FC\n"));
    row("CR, LF and CR LF", "bat_fw.s19",
        "S0030000FC\rS1\xE7\xFF"
        "0000\nS9030000FC\r\n");
    row("CR LF, no final line end", "bat_fw.s19", crlf.chopped(2));
    row("LF, no final line end", "bat_fw.s19", QByteArray(crlf).replace("\r\n", "\n").chopped(1));
    row("LF CR: two line ends", "bat_fw.s19", "S1\n\rS9\n", 'E', "S1\r\n\r\nS9\r\n");
    row("one record, no line end", "bat_fw.s19", "S9", 'E', "S9\r\n");
    row("first board word wins", "bootloader_main.s19", crlf, 'B');
    row("board word in any case", "Display_v2.s19", crlf, '3');

    const auto refused = [](const char* what, const char* name, const QByteArray& raw, Refusal refusal) {
        QTest::newRow(what) << name << raw << QByteArray() << char(no_board) << refusal;
    };
    refused("no board word", "master_panels.s19", "S9\r\n", Refusal::no_board);
    refused("empty", "bat.s19", "", Refusal::first_byte_zero);
    refused("NUL first", "bat.s19", QByteArray("\0S9\r\n", 5), Refusal::first_byte_zero);
    refused("byte order mark first", "bat.s19", "\xEF\xBB\xBFS9\r\n", Refusal::not_firmware);
    refused("NUL inside", "bat.s19", QByteArray("S9\r\nS\0\r\n", 7), Refusal::nul_byte);
    refused("over the bound", "bat.s19", QByteArray(int(largest_input) + 1, 'S'), Refusal::too_big);
}

void tst_firmware_rules::conversion()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, raw);
    QFETCH(QByteArray, twin);
    QFETCH(char, board);
    QFETCH(Refusal, refusal);

    const Conversion conversion = convert(name, raw);
    QCOMPARE(conversion.refusal, refusal);
    if (refusal != Refusal::none) {
        QVERIFY(conversion.output.isEmpty());
        return;
    }
    QCOMPARE(conversion.output, convert(name, twin).output);
    QCOMPARE(conversion.output.at(2), board);
    const QStringList problems = check_received(package_builder::cr_lines(conversion.output));
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
}

QTEST_APPLESS_MAIN(tst_firmware_rules)
#include "tst_firmware_rules.moc"
