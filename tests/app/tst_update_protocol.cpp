#include "app/mainwindow.h"
#include "converter/zipwindow.h"
#include "equipment/equipment_simulator.h"
#include "support/dialog_answer.h"
#include "support/fake_port_catalog.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/popup.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

using Sim = EquipmentSimulator;

namespace
{

constexpr int run_timeout_ms = 60000;

// The window, its port on a pseudo-terminal and the equipment on the other end.
struct Rig {
    explicit Rig(const Sim::Options& options = Sim::Options()) : sim(options) {}

    bool start(const QList<package_builder::Entry>& files)
    {
        ui.window->set_waits(waits);
        const QString path = dir.filePath(QStringLiteral("Linha_X#%1.vkt").arg(++packages));
        return (files.isEmpty() || package_builder::write_package(path, files)) && ui.start_run(sim, path);
    }
    bool open(const QList<package_builder::Entry>& files)
    {
        const QString path = dir.filePath(QStringLiteral("Linha_X#%1.vkt").arg(++packages));
        return package_builder::write_package(path, files) && ui.choose_package(path) && ui.popup->isVisible();
    }
    QAbstractButton* init_button() const { return ui.popup->findChild<QAbstractButton*>("initButton"); }
    QString status() const { return ui.text("statusBootloader"); }
    int progress() const { return ui.widget<QProgressBar>("progressBar")->value(); }
    // Only the packages are left: every unpacked file is gone.
    bool only_packages_left() const
    {
        return names_in(dir.path()).filter(".vkt").size() == names_in(dir.path()).size();
    }

    Sim sim;
    WindowUnderTest ui;
    bootloader_protocol::Waits waits = short_waits();
    QTemporaryDir dir;
    int packages = 0;
};

QByteArray firmware(char board, int records)
{
    // The CR-less tail is never sent.
    return package_builder::converted_firmware(board, records) + "S9030000FC";
}

} // namespace

class tst_update_protocol : public QObject
{
    Q_OBJECT

private slots:
    void notices_tell_an_update_going_on_from_one_ended();
    void consent_is_per_package();
    void converter_round_trip();
    void connection_control();
};

// Every file ends in "Operação realizada com Sucesso!" at 100 %: the info label says whether the
// update goes on, how long the equipment has been silent, and that it is complete, and the start
// button comes back only then. The equipment then restarts and drops the line, which leaves the
// success standing.
void tst_update_protocol::notices_tell_an_update_going_on_from_one_ended()
{
    Sim::Options options;
    options.automatic = false;
    Rig rig(options);
    rig.waits.silence_notice_ms = 300;
    rig.waits.silence_bound_ms = run_timeout_ms;
    constexpr int lines_per_file = 4 + 3;
    connect(&rig.sim, &Sim::got, &rig.sim, [&](const Sim::Received& r) {
        if (r.bytes == "#B_STR") {
            rig.sim.send("#B_USB");
            rig.sim.send("#B_MAX");
        } else if (r.bytes == "#B_END") {
            rig.sim.hang_up();
        } else if (r.line == lines_per_file) {
            // The second board takes a while to program, and says a word before it is done.
            QTimer::singleShot(r.file == 0 ? 0 : 1300, &rig.sim, [&rig] { rig.sim.send("#B_PR\x5B"); });
            QTimer::singleShot(r.file == 0 ? 0 : 1450, &rig.sim, [&rig] { rig.sim.send("#B_ENV#B_BOK"); });
        }
    });
    QStringList notices;
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&] {
        const QString notice = rig.ui.text("info") + QStringLiteral(" @%1").arg(rig.progress()) +
                               (rig.init_button()->isEnabled() ? " start" : "");
        if (!rig.ui.text("info").isEmpty() && notices.value(notices.size() - 1) != notice)
            notices << notice;
    });
    watch.start(1);
    QVERIFY(rig.start({{"MAIN_1.s", firmware('C', 3)}, {"GRID_2.s", firmware('A', 3)}}));
    QVERIFY(run_until([&] { return rig.ui.text("connectButton") == "CONECTAR"; }, run_timeout_ms));
    run_for(50);

    const QString going_on = QString::fromUtf8("Atualização em andamento: não desligue o equipamento nem o cabo. @");
    const QStringList expected{
        going_on + "1",
        QString::fromUtf8("Arquivo 1 de 2 gravado. A atualização continua: mantenha o "
                          "equipamento ligado. @100"),
        going_on + "1",
        QString::fromUtf8("O equipamento está sem responder há 1 s. Aguarde (limite: 5 min). @1"),
        going_on + "1",
        going_on + "100",
        QString::fromUtf8("Atualização completa: todos os 2 arquivos foram gravados. @100 start"),
        QString::fromUtf8("Atualização completa. O equipamento reiniciou e encerrou a conexão. @100 start")};
    QCOMPARE(notices, expected);
    QCOMPARE(rig.status(), QString::fromUtf8("Operação realizada com Sucesso! (2 / 2)"));
    // The start of a status text shows however long the text.
    QCOMPARE(rig.ui.widget<QLineEdit>("statusBootloader")->cursorPosition(), 0);
    QCOMPARE(rig.progress(), 100);
    QCOMPARE(rig.ui.text("statusConnect"), QStringLiteral("DESCONECTADO"));
}

// Consent given for one package never starts another; closing the window removes what the
// unpacking created.
void tst_update_protocol::consent_is_per_package()
{
    Sim::Options options;
    options.silent_file = 0;
    Rig rig(options);
    rig.waits.reply_ms = run_timeout_ms;
    QVERIFY(rig.start({{"MAIN_1.s", firmware('C', 5)}}));
    QTRY_COMPARE(rig.sim.tokens().size(), 1);
    QVERIFY(rig.open({{"GRID_1.s", firmware('A', 5)}}));
    QTest::qWait(100);
    QCOMPARE(rig.sim.tokens().size(), 1);
    QVERIFY(rig.init_button()->isEnabled() && !rig.ui.popup->is_started());
    QCOMPARE(rig.status(), QString());            // no counter of the ended run
    QCOMPARE(names_in(rig.dir.path()).size(), 3); // two packages, one unpacking
    rig.ui.converter->show();
    rig.ui.window->close();
    QVERIFY(rig.only_packages_left());
    QVERIFY(!rig.ui.popup->isVisible() && !rig.ui.converter->isVisible());
}

// A folder of raw firmware, converted by the converter window, reaches the equipment sound.
void tst_update_protocol::converter_round_trip()
{
    Rig rig;
    QVERIFY(QDir(rig.dir.path()).mkdir("Linha_X#1"));
    const QString folder = rig.dir.filePath("Linha_X#1");
    QByteArray raw;
    for (int i = 0; i < 30; ++i)
        raw += "S1130" + QByteArray::number(i * 16, 16).rightJustified(3, '0') + "00112233445566778899AABBCCDDEEFF\r\n";
    QVERIFY(write_file(folder + "/MAIN_fw.s19", raw) && write_file(folder + "/bat.s19", raw + raw));
    rig.ui.converter->show();
    dialog_answer::answer_next_file_dialog(folder);
    rig.ui.converter->findChild<QAbstractButton*>("searchButton")->click();
    rig.ui.converter->findChild<QAbstractButton*>("convertButton")->click();
    QCOMPARE(rig.ui.converter->findChild<QLineEdit*>("statusLineEdit")->text(),
             QString::fromUtf8("Arquivo gerado com sucesso!"));

    QSignalSpy finished(&rig.sim, &Sim::finished);
    QVERIFY(rig.start({})); // the converter's package, Linha_X#1.vkt
    QVERIFY(finished.wait(run_timeout_ms));
    QByteArray boards_and_lines;
    for (const Sim::FileReport& report : rig.sim.reports()) {
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join('\n')));
        boards_and_lines += report.board + QByteArray::number(report.lines) + ' ';
    }
    QVERIFY2(boards_and_lines == "C34 E64 " || boards_and_lines == "E64 C34 ", boards_and_lines.constData());
}

void tst_update_protocol::connection_control()
{
    Rig rig;
    QVERIFY(rig.sim.open_pty());
    QVERIFY(!rig.ui.widget("archiveGroupBox")->isEnabled() && !rig.ui.widget("boxStatus")->isEnabled());
    // The list follows plugging without a press: each port by its name, the adapter in its tooltip,
    // the chosen one staying chosen while it is there.
    FakePortCatalog catalog;
    rig.ui.window->use_port_catalog(catalog, 10);
    auto* box = rig.ui.widget<QComboBox>("boxPort");
    const PortIdentity first{"ttyUSB1", "/dev/ttyUSB1", "FT232R USB UART", "FTDI", "A1", 0x0403, 0x6001, "1-1.2"};
    catalog.listed = {first};
    QVERIFY(run_until([&] { return box->count() == 1; }, run_timeout_ms));
    QCOMPARE(box->itemData(0, Qt::ToolTipRole).toString(), first.describe());
    catalog.listed.prepend({"ttyUSB0", "/dev/ttyUSB0", "ttyS0", "", "", 0, 0, ""});
    QVERIFY(run_until([&] { return box->count() == 2; }, run_timeout_ms));
    QCOMPARE(box->currentText(), first.name);
    catalog.listed.removeLast();
    QVERIFY(run_until([&] { return box->count() == 1; }, run_timeout_ms));
    QCOMPARE(box->currentText(), QStringLiteral("ttyUSB0"));
    // Another program holding the port is told apart from a missing permission.
    QSerialPort holder;
    holder.setPortName(rig.sim.port_path());
    QVERIFY(holder.open(QIODevice::ReadWrite));
    QVERIFY(!rig.ui.connect_to(rig.sim.port_path()));
    QCOMPARE(rig.ui.text("info"), QString::fromUtf8("Outro dispositivo já está conectado a esta porta COM"));
    holder.close();
    QVERIFY(rig.ui.connect_to(rig.sim.port_path()));
    QCOMPARE(rig.ui.text("info"), QString());
    rig.ui.widget<QAbstractButton>("connectButton")->click();
    // A name that names nothing is told apart from a busy port.
    QVERIFY(!rig.ui.connect_to(rig.sim.port_path() + QString(200, 'x')));
    QCOMPARE(rig.ui.text("info"), QString::fromUtf8("Porta não encontrada ou não pôde ser aberta"));
    QVERIFY(rig.ui.connect_to(rig.sim.port_path()));
    QVERIFY(!rig.ui.widget("boxSerial")->isEnabled() && rig.ui.widget("archiveGroupBox")->isEnabled());
    QCOMPARE(rig.ui.text("statusConnect"), QStringLiteral("CONECTADO"));

    rig.ui.widget<QAbstractButton>("connectButton")->click();
    QCOMPARE(rig.ui.text("statusConnect"), QStringLiteral("DESCONECTADO"));
    QVERIFY(rig.ui.widget("boxSerial")->isEnabled() && !rig.ui.widget("archiveGroupBox")->isEnabled());
    QVERIFY(!rig.ui.widget("boxStatus")->isEnabled());
}

QTEST_MAIN(tst_update_protocol)
#include "tst_update_protocol.moc"
