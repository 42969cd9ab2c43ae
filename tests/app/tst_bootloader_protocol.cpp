#include "app/bootloader_protocol.h"
#include "support/fake_bootloader.h"

#include <QtTest>

using namespace bootloader_protocol;

class tst_bootloader_protocol : public QObject
{
    Q_OBJECT

private slots:
    void progress_report_data();
    void progress_report();
    void failure_text_data();
    void failure_text();
};

namespace
{

QByteArray report(const QByteArray& bytes)
{
    return QByteArray("#B_PR") + bytes;
}

} // namespace

void tst_bootloader_protocol::progress_report_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("progress");

    const QString sending = QString::fromUtf8("Enviando dados...");
    const QString reprogramming = QString::fromUtf8("Reprogramando Firmware...");

    QTest::newRow("NUL ends the text: 0") << report(QByteArray("\0", 1)) << true << sending << 0;
    QTest::newRow("token alone: 0") << report("") << true << sending << 0;
    QTest::newRow("40") << report("\x28") << true << sending << 40;
    QTest::newRow("0x5A: 90 still sending") << report("\x5A") << true << sending << 90;
    QTest::newRow("0x5B: 91 shows nothing") << report("\x5B") << false << QString() << 0;
    QTest::newRow("0x5E: 94 shows nothing") << report("\x5E") << false << QString() << 0;
    QTest::newRow("0x5F: 95 reprogramming") << report("\x5F") << true << reprogramming << 95;
    QTest::newRow("0x64: 100 shown as 95") << report("\x64") << true << reprogramming << 95;
    QTest::newRow("0x7F: 127 shown as 95") << report("\x7F") << true << reprogramming << 95;
    QTest::newRow("0x80 alone is no UTF-8: 0") << report("\x80") << true << sending << 0;
    QTest::newRow("0xFF alone is no UTF-8: 0") << report("\xFF") << true << sending << 0;
    // A valid two-byte sequence decodes to 233, which the device's signed byte reads as -23.
    QTest::newRow("U+00E9 reads as signed -23") << report("\xC3\xA9") << true << sending << -23;
    QTest::newRow("byte before the token: R at position 5, 82") << QByteArray("x#B_PR\x10") << true << sending << 82;
}

void tst_bootloader_protocol::progress_report()
{
    QFETCH(QByteArray, received);
    QFETCH(bool, shown);
    QFETCH(QString, text);
    QFETCH(int, progress);

    const ProgressShown status = progress_status(progress_value(message_text(received)));
    QCOMPARE(status.shown, shown);
    if (shown) {
        QCOMPARE(status.text, text);
        QCOMPARE(status.progress, progress);
    }
}

void tst_bootloader_protocol::failure_text_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("text"); // null: the run ends without a text

    for (const FakeBootloader::Failure& failure : FakeBootloader::failures())
        QTest::newRow(failure.name) << QString::fromLatin1(failure.reply) << failure.text;
    QTest::newRow("FR with the event board's letter") << "#B_FRF" << QString();
    QTest::newRow("FR letters are upper case") << "#B_FRa" << QString();
    QTest::newRow("FR letter read at position 5, not after the token") << "x#B_FRA" << QString();
    QTest::newRow("BaudTimeout") << "BaudTimeout" << QString::fromUtf8("Dispositivo Incompatível!");
    QTest::newRow("TimeOut shown as itself") << "TimeOut" << QString::fromUtf8("TimeOut");
    QTest::newRow("Serial_Interrupted") << "Serial_Interrupted" << QString::fromUtf8("Comunicação interrompida!");
    QTest::newRow("conditions compare whole: BaudTimeout and a blank") << "BaudTimeout " << QString();
    QTest::newRow("conditions compare case: timeout") << "timeout" << QString();
    QTest::newRow("conditions compare whole: inside a text") << "xSerial_Interrupted" << QString();
    QTest::newRow("unknown token") << "#B_XYZ" << QString();
    QTest::newRow("empty text") << "" << QString();
    // Two tokens in one delivery: the earlier row wins, wherever each stands in the text.
    QTest::newRow("INV row before CRC row") << "#B_CRC#B_INV" << QString::fromUtf8("Arquivo Inválido!");
    QTest::newRow("INV row before FR rows") << "#B_FRA#B_INV" << QString::fromUtf8("Arquivo Inválido!");
    QTest::newRow("FR row with another letter before GRV row") << "#B_GRV#B_FRA" << QString();
    QTest::newRow("FR A row before GRV row")
        << "#B_FRA#B_GRV" << QString::fromUtf8("Falha de resposta da placa da Rede");
    QTest::newRow("device token before the conditions") << "TimeOut#B_SDC" << QString::fromUtf8("Cartão SD ausente!");
}

void tst_bootloader_protocol::failure_text()
{
    QFETCH(QString, message);
    QFETCH(QString, text);

    const QString shown = bootloader_protocol::failure_text(message);
    QCOMPARE(shown.isNull(), text.isNull());
    QCOMPARE(shown, text);
}

QTEST_APPLESS_MAIN(tst_bootloader_protocol)

#include "tst_bootloader_protocol.moc"
