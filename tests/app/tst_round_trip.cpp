#include "app/mainwindow.h"
#include "converter/firmware_rules.h"
#include "converter/zipwindow.h"
#include "support/dialog_answer.h"
#include "support/fake_bootloader.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/popup.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

const QString package_built_text = QStringLiteral("Arquivo gerado com sucesso!");

struct RawFirmware {
    QString name;
    char board; // the identifier the file's name stands for
    QByteArray content;
};

// S-record lines as a board's toolchain writes them, each ended by CR LF.
QByteArray s_records(int records, int seed)
{
    QByteArray text = "S00F000068656C6C6F202020200000003C\r\n";
    for (int i = 0; i < records; ++i) {
        const QByteArray address = QByteArray::number(seed * 0x1000 + i * 0x10, 16).rightJustified(4, '0').toUpper();
        text +=
            "S113" + address + "7C0802A6900100049421FFF07C6C1B78" + QByteArray::number(i % 256, 16).toUpper() + "\r\n";
    }
    text += "S9030000FC\r\n";
    return text;
}

// What the bootloader must receive for one raw file: the converter's header lines, then every
// record with its CR and without its LF.
QList<QByteArray> expected_lines(const RawFirmware& raw)
{
    return package_builder::cr_lines(firmware_rules::rewritten(raw.content, raw.board));
}

QStringList unpacking_folders()
{
    return QDir::temp().entryList({QStringLiteral("vkt-update-*")}, QDir::Dirs | QDir::NoDotAndDotDot);
}

} // namespace

class tst_round_trip : public QObject
{
    Q_OBJECT

private slots:
    void converted_folder_reaches_bootloader();
};

void tst_round_trip::converted_folder_reaches_bootloader()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    // The program's own unpacking folders are counted in the temp folder; other suites running at
    // the same time must not be counted with them.
    const QString program_temp = root.filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(program_temp));
    qputenv("TMPDIR", QFile::encodeName(program_temp));
    const QString folder = root.filePath(QStringLiteral("FW"));
    QVERIFY(QDir().mkpath(folder));
    // The event board's file comes first in the folder and must still be sent last.
    const QList<RawFirmware> raw = {
        {QStringLiteral("EVENT_v3.s19"), 'F', s_records(12, 3)},
        {QStringLiteral("GRID_v1.s19"), 'A', s_records(12, 1)},
        {QStringLiteral("MAIN_v2.s19"), 'C', s_records(12, 2)},
    };
    for (const RawFirmware& file : raw)
        QVERIFY(write_file(folder + '/' + file.name, file.content));

    zipwindow converter;
    converter.show();
    dialog_answer::answer_next_file_dialog(folder);
    converter.findChild<QPushButton*>(QStringLiteral("searchButton"))->click();
    QCOMPARE(converter.findChild<QLineEdit*>(QStringLiteral("pathLineEdit"))->text(), folder);
    converter.findChild<QPushButton*>(QStringLiteral("convertButton"))->click();
    QCOMPARE(converter.findChild<QLineEdit*>(QStringLiteral("statusLineEdit"))->text(), package_built_text);
    const QString package = folder + QStringLiteral(".vkt");
    QVERIFY(QFile::exists(package));
    const QStringList converted = QDir(folder).entryList(QDir::Files);

    FakeBootloader sim;
    QVERIFY(sim.is_valid());
    const int lines = static_cast<int>(expected_lines(raw.first()).size());
    sim.accept_files(FakeBootloader::Link::usb, {lines, lines, lines});
    const QStringList unpacking_before = unpacking_folders();

    WindowUnderTest ui;
    ui.window->show();
    QVERIFY(ui.connect_to(sim.terminal()));
    QVERIFY(ui.choose_package(package));
    QCOMPARE(ui.text("lineStatusArchive"), QStringLiteral("Arquivo Validado"));
    ui.popup->findChild<QAbstractButton*>(QStringLiteral("initButton"))->click();

    // Two confirmations of 1 s each and the event board's 5 s restart lie on the way.
    QVERIFY2(sim.wait_for_token("#B_END", 30000), qPrintable(QStringLiteral("stopped at \"%1\" after %2 tokens")
                                                                 .arg(ui.text("statusBootloader"))
                                                                 .arg(sim.tokens().size())));

    QList<QByteArray> tokens = sim.tokens();
    QCOMPARE(tokens, (QList<QByteArray>{"#B_STR", "#B_STR", "#B_STR", "#B_END"}));
    QCOMPARE(sim.unterminated(), QByteArray());
    // The converter's folder listing decides the order of the other two; each arrives exactly once.
    QList<QList<QByteArray>> remaining = {expected_lines(raw[1]), expected_lines(raw[2])};
    for (int file = 0; file < 2; ++file) {
        const QList<QByteArray> received = sim.lines(file);
        QVERIFY2(remaining.removeOne(received), qPrintable(QStringLiteral("file %1 is no converted file").arg(file)));
    }
    QCOMPARE(sim.lines(2), expected_lines(raw[0]));
    for (const FakeBootloader::Received& r : sim.received())
        QVERIFY(r.kind != FakeBootloader::Received::Kind::stray);

    // The operator's converted folder is no unpacking of ours and stays; our own unpacking is gone.
    QTRY_VERIFY(!ui.popup->isVisible());
    QCOMPARE(QDir(folder).entryList(QDir::Files), converted);
    QCOMPARE(unpacking_folders(), unpacking_before);
}

QTEST_MAIN(tst_round_trip)

#include "tst_round_trip.moc"
