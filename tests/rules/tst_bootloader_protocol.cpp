#include "rules/bootloader_protocol.h"
#include "rules/token_framer.h"

#include <QtTest>

using namespace bootloader_protocol;

class tst_bootloader_protocol : public QObject
{
    Q_OBJECT

private slots:
    void framing_data();
    void framing();
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

void tst_bootloader_protocol::framing_data()
{
    QTest::addColumn<QByteArrayList>("pieces"); // as the line hands them over
    QTest::addColumn<QByteArrayList>("frames"); // noise marked with a leading '~'
    QTest::newRow("a token whole") << QByteArrayList{"#B_USB"} << QByteArrayList{"#B_USB"};
    QTest::newRow("tokens cut anywhere") << QByteArrayList{"#", "B_U", "SB#B_M", "AX"}
                                         << QByteArrayList{"#B_USB", "#B_MAX"};
    QTest::newRow("a data byte of any value") << QByteArrayList{QByteArray("#B_PR\0#B_PR#", 12), "#B_ENV"}
                                              << QByteArrayList{QByteArray("#B_PR\0", 6), "#B_PR#", "#B_ENV"};
    QTest::newRow("the start of a token waits") << QByteArrayList{"#B_EN"} << QByteArrayList();
    QTest::newRow("noise waits as long as a token would") << QByteArrayList{"xy#B_"} << QByteArrayList();
    QTest::newRow("noise in front of a token") << QByteArrayList{"xy#B_", "MAX"} << QByteArrayList{"~xy", "#B_MAX"};
    QTest::newRow("a false start is noise") << QByteArrayList{"#B#B_OK"} << QByteArrayList{"~#B"};
    QTest::newRow("a flood of noise") << QByteArrayList{"\xff\xff\xff", "\xff\xff\xff\xff"}
                                      << QByteArrayList{"~\xff\xff\xff\xff\xff\xff\xff"};
}

void tst_bootloader_protocol::framing()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArrayList, frames);
    TokenFramer framer;
    QByteArrayList framed;
    for (const QByteArray& piece : pieces) {
        framer.feed(piece);
        for (TokenFramer::Frame frame; framer.next(&frame);)
            framed << (frame.noise ? '~' + frame.bytes : frame.bytes);
    }
    QCOMPARE(framed, frames);
}

void tst_bootloader_protocol::progress_report_data()
{
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<bool>("shown");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("progress");

    const QString sending = QString::fromUtf8("Enviando dados...");
    const QString reprogramming = QString::fromUtf8("Reprogramando Firmware...");

    QTest::newRow("NUL: 0") << report(QByteArray("\0", 1)) << true << sending << 0;
    QTest::newRow("token alone: 0") << report("") << true << sending << 0;
    QTest::newRow("40") << report("\x28") << true << sending << 40;
    QTest::newRow("0x5A: 90 still sending") << report("\x5A") << true << sending << 90;
    QTest::newRow("0x5B: 91 shows nothing") << report("\x5B") << false << QString() << 0;
    QTest::newRow("0x5F: 95 reprogramming") << report("\x5F") << true << reprogramming << 95;
    QTest::newRow("0x64: 100 shown as 95") << report("\x64") << true << reprogramming << 95;
    QTest::newRow("0x80 alone is no UTF-8: 0") << report("\x80") << true << sending << 0;
    // A valid two-byte sequence decodes to 233, which the device's signed byte reads as -23.
    QTest::newRow("U+00E9 reads as signed -23") << report("\xC3\xA9") << true << sending << -23;
    QTest::newRow("U+00FF, the last one-byte value: -1") << report("\xC3\xBF") << true << sending << -1;
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
    QTest::addColumn<bool>("device_failure"); // outweighs every other token of its delivery
    QTest::addColumn<QString>("text");

    const QString unexpected = QString::fromUtf8("Resposta inesperada do equipamento!");
    const char* const rows[][2] = {
        {"#B_INV", "Arquivo Inválido!"},
        {"#B_CRC", "Erro de Checksum!"},
        {"#B_ALC", "Erro ao alocar memória!"},
        {"#B_CAN", "Barramento CAN desativado"},
        {"#B_RES", "Falha de resposta do Equipamento"},
        {"#B_FRA", "Falha de resposta da placa da Rede"},
        {"#B_FRB", "Falha de resposta da placa da Carga"},
        {"#B_FRC", "Falha de resposta da placa Mestre"},
        {"#B_FRD", "Falha de resposta da placa dos Painéis"},
        {"#B_FRE", "Falha de resposta da placa da Bateria"},
        {"#B_GRV", "Erro na gravação!"},
        {"#B_MEM", "Erro ao limpar memória!"},
        {"#B_SDC", "Cartão SD ausente!"},
        {"#B_SDF", "Falha na operação de armazenamento interno!"},
        {"#B_FTF", "Falha na resposta do Display!"},
    };
    for (const auto& row : rows)
        QTest::newRow(row[0]) << QString::fromLatin1(row[0]) << true << QString::fromUtf8(row[1]);
    QTest::newRow("FR with the event board's letter") << "#B_FRF" << true << unexpected;
    QTest::newRow("FR letters are upper case") << "#B_FRa" << true << unexpected;
    QTest::newRow("FR behind a byte: its own letter")
        << "x#B_FRB" << true << QString::fromUtf8("Falha de resposta da placa da Carga");
    QTest::newRow("behind a progress report") << "#B_PR\x10#B_CRC" << true << QString::fromUtf8("Erro de Checksum!");
    QTest::newRow("earlier row wins: INV before CRC")
        << "#B_CRC#B_INV" << true << QString::fromUtf8("Arquivo Inválido!");
    QTest::newRow("reset is no failure") << "#B_RST" << false << unexpected;
    QTest::newRow("unknown token") << "#B_XYZ" << false << unexpected;
}

void tst_bootloader_protocol::failure_text()
{
    QFETCH(QString, message);
    QFETCH(bool, device_failure);
    QFETCH(QString, text);

    QCOMPARE(bootloader_protocol::holds_failure(message.toUtf8()), device_failure);
    QCOMPARE(bootloader_protocol::failure_text(message), text);
}

QTEST_APPLESS_MAIN(tst_bootloader_protocol)

#include "tst_bootloader_protocol.moc"
