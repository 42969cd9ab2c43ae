#include "rules/firmware_rules.h"

#include <QtTest>

using namespace firmware_rules;

class tst_firmware_rules : public QObject
{
    Q_OBJECT

private slots:
    void header_fields_data();
    void header_fields();
};

// Built from real input bytes so the counting of line feeds and other bytes is covered with the field widths.
void tst_firmware_rules::header_fields_data()
{
    QTest::addColumn<int>("line_feeds");
    QTest::addColumn<int>("other_bytes");
    QTest::addColumn<QByteArray>("header");

    QTest::newRow("L 255, padded") << 255 << 100 << QByteArray("#\rC\r0FF\r071\r");
    QTest::newRow("L 256, unpadded") << 256 << 100 << QByteArray("#\rC\r100\r071\r");
    QTest::newRow("L 4095, T not raised") << 4095 << 100 << QByteArray("#\rC\rFFF\r071\r");
    QTest::newRow("L 4096, T one more") << 4096 << 100 << QByteArray("#\rC\r1000\r072\r");
    QTest::newRow("N 65535, padded") << 300 << 65535 << QByteArray("#\rC\r12C\r01000C\r");
    QTest::newRow("N 65536, unpadded") << 300 << 65536 << QByteArray("#\rC\r12C\r1000D\r");
    QTest::newRow("N 1048575, T not raised") << 300 << 1048575 << QByteArray("#\rC\r12C\r10000C\r");
    QTest::newRow("N 1048576, T one more") << 300 << 1048576 << QByteArray("#\rC\r12C\r10000E\r");
}

void tst_firmware_rules::header_fields()
{
    QFETCH(int, line_feeds);
    QFETCH(int, other_bytes);
    QFETCH(QByteArray, header);

    // Records of 'S' and carriage returns with the line feeds spread through them, and a NUL and
    // bytes above 0x7F that must pass unchanged.
    QByteArray input(other_bytes, 'S');
    for (int i = 0; i < other_bytes; i += 40)
        input[i] = '\r';
    input.replace(1, 3, QByteArray("\0\xC3\xFF", 3));
    for (int i = 0; i < line_feeds; ++i)
        input.insert(int(qint64(i) * other_bytes / qMax(line_feeds, 1)) + i, '\n');

    const QByteArray output = rewritten(input, 'C');
    QCOMPARE(output.left(header.size()), header);
    QCOMPARE(output.mid(header.size()), QByteArray(input).replace('\n', QByteArray()));
}

QTEST_APPLESS_MAIN(tst_firmware_rules)
#include "tst_firmware_rules.moc"
