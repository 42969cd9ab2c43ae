#include "app/mainwindow.h"
#include "converter/zipwindow.h"
#include "equipment/equipment_simulator.h"
#include "support/dialog_answer.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/popup.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

using Sim = EquipmentSimulator;
Q_DECLARE_METATYPE(EquipmentSimulator::Link)

namespace
{

const QString success_text = QString::fromUtf8("Operação realizada com Sucesso!");
const QString finishing_text = QString::fromUtf8("Finalizando Procedimento...");
const QString reprogramming_text = QString::fromUtf8("Reprogramando Firmware...");
const QString interrupted_text = QString::fromUtf8("Comunicação interrompida!");
const QString checksum_text = QString::fromUtf8("Erro de Checksum!");
const QString unexpected_text = QString::fromUtf8("Resposta inesperada do equipamento!");
constexpr int run_timeout_ms = 60000;

// The protocol's waits, shortened so that a run takes a fraction of a second; what happens during
// each stays the same.
bootloader_protocol::Waits short_waits()
{
    bootloader_protocol::Waits waits;
    waits.baud_guard_ms = 200;
    waits.reply_ms = 200;
    waits.link_retry_bound_ms = 200;
    waits.event_port_pause_ms = 300;
    waits.confirm_pause_ms = 100;
    waits.silence_bound_ms = 800;
    return waits;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

// The window, its port on a pseudo-terminal and the equipment on the other end.
struct Rig {
    explicit Rig(const Sim::Options& options = Sim::Options()) : sim(options) {}

    bool start(const QList<package_builder::Entry>& files)
    {
        ui.window->set_waits(waits);
        ui.window->show();
        if (!dir.isValid() || !sim.open_pty() || !ui.connect_to(sim.port_path()))
            return false;
        const QString path = dir.filePath(QStringLiteral("Linha_X#%1.vkt").arg(++packages));
        if (!files.isEmpty() && !package_builder::write_package(path, files))
            return false;
        if (!ui.choose_package(path) || !ui.popup->isVisible())
            return false;
        init_button()->click();
        return true;
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
    void whole_package_data();
    void whole_package();
    void run_ends_data();
    void run_ends();
    void waits_keep_window_alive();
    void consent_is_per_package();
    void converter_round_trip();
    void connection_control();
};

void tst_update_protocol::whole_package_data()
{
    QTest::addColumn<Sim::Link>("link");
    QTest::addColumn<int>("pause_ms");
    QTest::addColumn<int>("data_baud");
    QTest::addColumn<int>("reset_file");
    QTest::newRow("USB, 3 ms") << Sim::Link::usb << 3 << 19200 << -1;
    QTest::newRow("UART, 38400 baud, 25 ms, a reset") << Sim::Link::uart << 25 << 38400 << 1;
}

void tst_update_protocol::whole_package()
{
    QFETCH(Sim::Link, link);
    QFETCH(int, pause_ms);
    QFETCH(int, data_baud);
    QFETCH(int, reset_file);
    Sim::Options options;
    options.link = link;
    options.reset_file = reset_file;
    Rig rig(options);
    QSignalSpy finished(&rig.sim, &Sim::finished);
    const int records = link == Sim::Link::usb ? 200 : 60;
    QVERIFY(rig.start(
        {{"Event_1.s", firmware('F', 3)}, {"MAIN_2.s", firmware('C', records)}, {"GRID_3.s", firmware('A', 4)}}));
    QVERIFY(finished.wait(run_timeout_ms));

    // The event file goes last; every file arrives whole and sound.
    QCOMPARE(rig.sim.reports().size(), 3);
    QByteArray boards;
    for (const Sim::FileReport& report : rig.sim.reports()) {
        boards += report.board;
        QVERIFY2(report.problems.isEmpty(), qPrintable(report.problems.join('\n')));
    }
    QCOMPARE(boards, QByteArray("CAF"));
    QCOMPARE(rig.sim.tokens(), QList<QByteArray>({"#B_STR", "#B_STR", "#B_STR", "#B_END"}));
    QCOMPARE(rig.status(), success_text + " (3 / 3)");
    QVERIFY(rig.only_packages_left());
    QVERIFY(!rig.ui.popup->isVisible() && rig.init_button()->isEnabled());
    QVERIFY(rig.ui.widget("boxStatus")->isEnabled());

    // Every data line at the link's rate, paced by at least the pause: on average over the
    // file's lines as the lower bound, and a median far below the other link's pause.
    QList<double> gaps;
    qint64 first = -1, last = -1;
    int count = 0;
    for (const Sim::Received& r : rig.sim.received()) {
        if (r.kind != Sim::Received::Kind::line || r.file != 0 || r.line <= 4)
            continue;
        QCOMPARE(r.baud, data_baud);
        if (last >= 0)
            gaps.append((r.at_ns - last) / 1e6);
        first = first < 0 ? r.at_ns : first;
        last = r.at_ns;
        ++count;
    }
    QCOMPARE(count, records);
    QVERIFY2((last - first) / 1e6 / (count - 1) >= pause_ms, qPrintable(QString::number(median(gaps))));
    if (link == Sim::Link::usb)
        QVERIFY2(median(gaps) < 8 * pause_ms, qPrintable(QString::number(median(gaps))));
    QCOMPARE(rig.sim.line_baud(), 19200);
}

void tst_update_protocol::run_ends_data()
{
    QTest::addColumn<int>("fail_after_line");
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<int>("silent_file");
    QTest::addColumn<QString>("text");

    // Line 0: instead of the data request, right behind the announcement.
    QTest::newRow("failure after line 8") << 8 << QByteArray("#B_CRC") << -1 << checksum_text;
    QTest::newRow("failure behind a progress report") << 8 << QByteArray("#B_PR\x28#B_CRC") << -1 << checksum_text;
    QTest::newRow("failure behind reprogramming") << 8 << QByteArray("#B_ENV#B_CRC") << -1 << checksum_text;
    QTest::newRow("failure before the data request") << 0 << QByteArray("#B_CRC#B_MAX") << -1 << checksum_text;
    QTest::newRow("unknown token") << 8 << QByteArray("#B_XYZ") << -1 << unexpected_text;
    QTest::newRow("unknown board letter") << 8 << QByteArray("#B_FRZ") << -1 << unexpected_text;
    QTest::newRow("silent after the first file") << -1 << QByteArray() << 1 << QStringLiteral("TimeOut");
    QTest::newRow("line lost after the announcement") << 0 << QByteArray() << -1 << QString();
}

// Whatever ends a run, the operator reads why, the transfer stops, and nothing is left behind;
// no timer of the ended run writes over the text later.
void tst_update_protocol::run_ends()
{
    QFETCH(int, fail_after_line);
    QFETCH(QByteArray, token);
    QFETCH(int, silent_file);
    QFETCH(QString, text);
    Sim::Options options;
    options.automatic = fail_after_line != 0;
    options.fail_file = 0;
    options.fail_after_line = fail_after_line;
    options.fail_token = token;
    options.silent_file = silent_file;
    Rig rig(options);
    if (fail_after_line == 0) {
        connect(&rig.sim, &Sim::got, &rig.sim, [&](const Sim::Received& r) {
            if (r.bytes != "#B_STR")
                return;
            rig.sim.send("#B_USB");
            if (!token.isEmpty())
                rig.sim.send(token);
            else
                QTimer::singleShot(50, &rig.sim, [&] { rig.sim.hang_up(); });
        });
    }
    const int records = 40;
    QVERIFY(rig.start({{"MAIN_1.s", firmware('C', records)}, {"GRID_2.s", firmware('A', 3)}}));

    const QString suffix = silent_file == 1 ? " (2 / 2)" : " (1 / 2)";
    if (text.isNull()) {
        QTRY_COMPARE_WITH_TIMEOUT(rig.ui.text("info"), interrupted_text, run_timeout_ms);
        QCOMPARE(rig.ui.text("connectButton"), QStringLiteral("CONECTAR"));
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(rig.status(), text + suffix, run_timeout_ms);
        QCOMPARE(rig.progress(), 0);
    }
    const QString shown = rig.status();
    QTest::qWait(2 * short_waits().baud_guard_ms + 100);
    QCOMPARE(rig.status(), shown);

    const int lines = rig.sim.lines_of(0).size();
    if (silent_file < 0)
        QVERIFY2(lines >= fail_after_line && lines <= fail_after_line + 1, qPrintable(QString::number(lines)));
    QVERIFY(!rig.sim.tokens().contains("#B_END"));
    QVERIFY(rig.only_packages_left());
    QVERIFY(!rig.ui.popup->isVisible() && !rig.ui.popup->is_started());
}

// During the protocol's waits the window paints and its timers fire, but operator input does
// nothing and what the device says is handled only afterwards, in order.
void tst_update_protocol::waits_keep_window_alive()
{
    Rig rig;
    int ticks = 0, paints = 0;
    bool clicked = false, reported = false, reprogramming_early = false;
    QTimer tick(rig.ui.window);
    connect(&tick, &QTimer::timeout, [&] {
        if (rig.status().startsWith(finishing_text)) {
            ++ticks;
            rig.ui.window->update();
            if (!std::exchange(clicked, true))
                QTest::mouseClick(rig.ui.widget("connectButton"), Qt::LeftButton);
        }
        if (rig.status().startsWith(success_text) && !std::exchange(reported, true))
            rig.sim.send("#B_ENV");
        reprogramming_early |= reported && rig.status().startsWith(reprogramming_text) && rig.ui.popup->isVisible();
    });
    struct PaintCounter : QObject {
        int* count;
        const Rig* rig;
        bool eventFilter(QObject*, QEvent* e) override
        {
            *count += e->type() == QEvent::Paint && rig->status().startsWith(finishing_text);
            return false;
        }
    } counter;
    counter.count = &paints;
    counter.rig = &rig;
    rig.ui.window->installEventFilter(&counter);
    tick.start(10);
    QSignalSpy finished(&rig.sim, &Sim::finished);
    QVERIFY(rig.start({{"EVENT_1.s", firmware('F', 3)}}));
    QVERIFY(finished.wait(run_timeout_ms));

    QVERIFY2(ticks >= 5 && paints >= 1, qPrintable(QStringLiteral("%1 ticks, %2 paints").arg(ticks).arg(paints)));
    QVERIFY(clicked);
    QCOMPARE(rig.ui.text("connectButton"), QStringLiteral("DESCONECTAR"));
    QVERIFY(!reprogramming_early);
    QTRY_COMPARE(rig.status(), reprogramming_text + " (1 / 1)");
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
    auto* scan = rig.ui.widget<QAbstractButton>("scan_push_button");
    scan->click();
    scan->click();
    QCOMPARE(rig.ui.widget<QComboBox>("boxPort")->count(), QSerialPortInfo::availablePorts().size());
    // Another program holding the port is told apart from a missing permission.
    QSerialPort holder;
    holder.setPortName(rig.sim.port_path());
    QVERIFY(holder.open(QIODevice::ReadWrite));
    QVERIFY(!rig.ui.connect_to(rig.sim.port_path()));
    QCOMPARE(rig.ui.text("info"), QString::fromUtf8("Outro dispositivo já está conectado a esta porta COM"));
    holder.close();
    QVERIFY(rig.ui.connect_to(rig.sim.port_path()));
    QCOMPARE(rig.ui.text("info"), QString());
    QVERIFY(!rig.ui.widget("boxSerial")->isEnabled() && rig.ui.widget("archiveGroupBox")->isEnabled());
    QCOMPARE(rig.ui.text("statusConnect"), QStringLiteral("CONECTADO"));

    rig.ui.widget<QAbstractButton>("connectButton")->click();
    QCOMPARE(rig.ui.text("statusConnect"), QStringLiteral("DESCONECTADO"));
    QVERIFY(rig.ui.widget("boxSerial")->isEnabled() && !rig.ui.widget("archiveGroupBox")->isEnabled());
    QVERIFY(!rig.ui.widget("boxStatus")->isEnabled());
}

QTEST_MAIN(tst_update_protocol)
#include "tst_update_protocol.moc"
