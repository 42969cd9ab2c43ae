#include "converter/firmware_rules.h"

#include <QtTest>

using namespace firmware_rules;

class tst_firmware_rules : public QObject
{
    Q_OBJECT

private slots:
    void board_identifier_data();
    void board_identifier();
    void header_fields_data();
    void header_fields();
    void body_data();
    void body();
};

void tst_firmware_rules::board_identifier_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<char>("identifier");

    QTest::newRow("GRID") << "fw_GRID.s19" << 'A';
    QTest::newRow("LOAD") << "LOAD.s19" << 'B';
    QTest::newRow("MAIN") << "MAIN.s19" << 'C';
    QTest::newRow("PV") << "PV.s19" << 'D';
    QTest::newRow("BAT") << "BAT.s19" << 'E';
    QTest::newRow("EVENT") << "EVENT.s19" << 'F';
    QTest::newRow("CAN") << "CAN.s19" << '2';
    QTest::newRow("TFT") << "TFT.s19" << '3';
    QTest::newRow("DISPLAY") << "DISPLAY.s19" << '3';
    QTest::newRow("lower-case grid") << "grid_v2.s19" << 'A';
    QTest::newRow("LOAD inside bootloader beats MAIN") << "bootloader_main" << 'B';
    QTest::newRow("MAIN beats CAN") << "CAN_MAIN.s19" << 'C';
    QTest::newRow("no word") << "firmware.s19" << no_board;
}

void tst_firmware_rules::board_identifier()
{
    QFETCH(QString, name);
    QFETCH(char, identifier);
    QCOMPARE(firmware_rules::board_identifier(name), identifier);
}

// Built from real input bytes so the counting of line feeds and other bytes is covered with the field widths.
void tst_firmware_rules::header_fields_data()
{
    QTest::addColumn<char>("board");
    QTest::addColumn<int>("line_feeds");
    QTest::addColumn<int>("other_bytes");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("file_size");

    QTest::newRow("GRID example") << 'A' << 416 << 74565 << QByteArray("#\rA\r1A0\r12352\r") << 74579;
    QTest::newRow("EVENT example") << 'F' << 200 << 6000 << QByteArray("#\rF\r0C8\r0177D\r") << 6014;
    QTest::newRow("L 15, two digits") << 'C' << 15 << 100 << QByteArray("#\rC\r0F\r071\r") << 111;
    QTest::newRow("L 16, three digits") << 'C' << 16 << 100 << QByteArray("#\rC\r010\r071\r") << 112;
    QTest::newRow("L 255, padded") << 'C' << 255 << 100 << QByteArray("#\rC\r0FF\r071\r") << 112;
    QTest::newRow("L 256, unpadded") << 'C' << 256 << 100 << QByteArray("#\rC\r100\r071\r") << 112;
    QTest::newRow("L 4095, T not raised") << 'C' << 4095 << 100 << QByteArray("#\rC\rFFF\r071\r") << 112;
    QTest::newRow("L 4096, T one more") << 'C' << 4096 << 100 << QByteArray("#\rC\r1000\r072\r") << 113;
    QTest::newRow("N 65535, padded") << 'B' << 300 << 65535 << QByteArray("#\rB\r12C\r01000C\r") << 65550;
    QTest::newRow("N 65536, unpadded") << 'B' << 300 << 65536 << QByteArray("#\rB\r12C\r1000D\r") << 65550;
    QTest::newRow("N 1048575, T not raised") << 'B' << 300 << 1048575 << QByteArray("#\rB\r12C\r10000C\r") << 1048590;
    QTest::newRow("N 1048576, T one more") << 'B' << 300 << 1048576 << QByteArray("#\rB\r12C\r10000E\r") << 1048591;
}

void tst_firmware_rules::header_fields()
{
    QFETCH(char, board);
    QFETCH(int, line_feeds);
    QFETCH(int, other_bytes);
    QFETCH(QByteArray, header);
    QFETCH(int, file_size);

    // Records of 'S' and carriage returns with the line feeds spread through them.
    QByteArray input(other_bytes, 'S');
    for (int i = 0; i < other_bytes; i += 40)
        input[i] = '\r';
    for (int i = 0; i < line_feeds; ++i)
        input.insert(int(qint64(i) * other_bytes / qMax(line_feeds, 1)) + i, '\n');
    QCOMPARE(input.count('\n'), line_feeds);

    const QByteArray output = rewritten(input, board);
    QCOMPARE(output.left(header.size()), header);
    QCOMPARE(output.size(), file_size);
    QVERIFY(!output.contains('\n'));
}

void tst_firmware_rules::body_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("LF-only line ends join into one line") << QByteArray("S0A\nS1B\nS9C\n") << QByteArray("S0AS1BS9C");
    QTest::newRow("bytes above 0x7F and zero bytes unchanged")
        << QByteArray("S\xC3\xA7\xFF\x80\0\r\n\x7F", 9) << QByteArray("S\xC3\xA7\xFF\x80\0\r\x7F", 8);
}

void tst_firmware_rules::body()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, body);

    const QByteArray output = rewritten(input, 'A');
    const QByteArray expected_header = header('A', input.count('\n'), body.size());
    QVERIFY(output.startsWith(expected_header));
    QCOMPARE(output.mid(expected_header.size()), body);
}

QTEST_APPLESS_MAIN(tst_firmware_rules)
#include "tst_firmware_rules.moc"
