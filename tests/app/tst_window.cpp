// The window: whole runs and every way a run ends held against recorded traces (VKT_RECORD_TRACES=1 writes them, see
// Trace and pacing_fault), then consent per package and the connection's controls.
#include "app/mainwindow.h"
#include "converter/zipwindow.h"
#include "equipment/equipment_simulator.h"
#include "rules/package_signing.h"
#include "servicelog/unit_record.h"
#include "support/fake_port_catalog.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/popup.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

using Sim = EquipmentSimulator;

namespace
{

constexpr int run_timeout_ms = 60000;
// Longer than any shortened wait, so that a timer of an ended run would still show.
constexpr int settle_ms = 700;

QByteArray escaped(const QByteArray& bytes)
{
    QByteArray out;
    for (const char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (u < 0x20 || u >= 0x7f || c == '\\' || c == '"')
            out += "\\x" + QByteArray::number(u, 16).rightJustified(2, '0');
        else
            out += c;
    }
    return '"' + out + '"';
}

QByteArray firmware(char board, int records)
{
    return package_builder::converted_firmware(board, records) + "S9030000FC";
}

// What the operator does during a run, or what the equipment does that the simulator's options cannot say.
enum class Act {
    none,
    disconnect,
    close_window,
    failure_behind_announcement,
    slow_board,
    search,
    reconnect_in_a_pause,
    request_before_consent,
    odd_progress
};

struct Scenario {
    Sim::Options options;
    QList<package_builder::Entry> files;
    Act act = Act::none;
    int act_at_line = 0; // of the first file
    bootloader_protocol::Waits waits = short_waits();
};

QList<package_builder::Entry> three_files(int records)
{
    return {{"Event_1.s", firmware('F', 3)}, {"MAIN_2.s", firmware('C', records)}, {"GRID_3.s", firmware('A', 4)}};
}

// Every way a run ends is played on a UART link: whether the program hears the equipment before its next line is a race
// the 3 ms of a USB pause lose now and then on a busy machine, the 25 ms of a UART pause never.
Scenario ending(int fail_file = -1, int after_line = -1, const QByteArray& token = "#B_CRC")
{
    Scenario s;
    s.options.link = Sim::Link::uart;
    s.options.fail_file = fail_file;
    s.options.fail_after_line = after_line;
    s.options.fail_token = token;
    s.files = {{"MAIN_1.s", firmware('C', 20)}, {"GRID_2.s", firmware('A', 3)}};
    return s;
}

QMap<QString, Scenario> scenarios()
{
    QMap<QString, Scenario> all;
    all["usb_whole_package"].files = three_files(60);
    Scenario& uart = all["uart_whole_package_with_reset"];
    uart.options.link = Sim::Link::uart;
    uart.options.reset_file = 1;
    uart.files = three_files(16);
    all["failure_in_the_header"] = ending(0, 2, "#B_CRC");
    all["failure_mid_data"] = ending(0, 14, "#B_FRD");
    all["failure_after_the_data"] = ending(0, 24, "#B_GRV");
    all["failure_in_the_second_file"] = ending(1, 5, "#B_INV");
    all["unknown_answer"] = ending(0, 14, "#B_XYZ");
    Scenario& before = all["failure_behind_the_announcement"] = ending();
    before.options.automatic = false;
    before.act = Act::failure_behind_announcement;
    all["silent_device"] = ending();
    all["silent_device"].options.silent_file = 1;
    Scenario& lost = all["line_lost"] = ending(); // in the second file, the line opened again after a reset
    lost.options.reset_file = 0;
    lost.options.hang_up_file = 1;
    lost.options.hang_up_after_line = 5;
    Scenario& disconnect = all["operator_disconnects"] = ending();
    disconnect.act = Act::disconnect;
    disconnect.act_at_line = 14;
    all["window_closed"] = disconnect;
    all["window_closed"].act = Act::close_window;
    all["package_searched_mid_transfer"] = disconnect;
    all["package_searched_mid_transfer"].act = Act::search;
    // Disconnected while the first file's confirmation pause runs, then connected again.
    all["reconnected_in_a_pause"] = ending();
    all["reconnected_in_a_pause"].act = Act::reconnect_in_a_pause;
    // The second board keeps the equipment silent a while as it programs, says a word before done; then a restart.
    Scenario& slow = all["slow_board_then_restart"];
    slow.options.automatic = false;
    slow.act = Act::slow_board;
    slow.files = {{"MAIN_1.s", firmware('C', 3)}, {"GRID_2.s", firmware('A', 3)}};
    slow.waits.silence_notice_ms = 300;
    slow.waits.silence_bound_ms = run_timeout_ms;
    // The equipment asks for the data before the operator consented: no line goes out before "#B_STR".
    all["request_before_consent"] = ending();
    all["request_before_consent"].act = Act::request_before_consent;
    // Progress reports of 0 and of a byte that is no percentage, mid-file on a UART link: shown or not, never a rate.
    Scenario& odd = all["odd_progress"] = ending();
    odd.options.automatic = false;
    odd.act = Act::odd_progress;
    odd.files = {{"MAIN_1.s", firmware('C', 3)}};
    return all;
}

struct Trace {
    struct Item {
        QByteArray head; // kind, baud, file and line, bytes: compared exactly
        double gap_ms = -1;
        qint32 baud = 0;
        bool paced = false; // a file line right behind another: the pause stands between them
    };
    QList<Item> equipment;
    QList<QByteArray> window;
    QList<QByteArray> log;

    QByteArray text() const
    {
        QByteArray out = "# equipment: kind baud file line bytes | gap before it in ms\n";
        for (const Item& item : equipment)
            out += item.head + " | " + (item.gap_ms < 0 ? "-" : QByteArray::number(item.gap_ms, 'f', 2)) + '\n';
        return out + "# window\n" + window.join('\n') + "\n# service log, times left out\n" + log.join('\n') + '\n';
    }

    static Trace parse(const QByteArray& text)
    {
        Trace trace;
        QList<QByteArray>* section = nullptr;
        for (const QByteArray& line : text.split('\n')) {
            const int bar = line.lastIndexOf(" | ");
            if (line.startsWith("# window") || line.startsWith("# service log"))
                section = line.startsWith("# window") ? &trace.window : &trace.log;
            else if (line.isEmpty() || line.startsWith('#'))
                continue;
            else if (section)
                section->append(line);
            else
                trace.equipment.append({line.left(bar), line.mid(bar + 3) == "-" ? -1 : line.mid(bar + 3).toDouble()});
        }
        return trace;
    }
};

// The run's service log as support reads it, less what changes between runs (times, version, hash, paths) and how the
// equipment's bytes were cut into reads: the bytes received come last, all together.
QList<QByteArray> service_log(const QString& path, const QString& port, const QString& folder)
{
    QList<QByteArray> lines;
    QByteArray received = "recv ";
    for (QByteArray line : read_file(path).split('\n')) {
        line = line.mid(static_cast<int>(qstrlen("00:00:00.000 ")));
        const QByteArray kind = line.left(line.indexOf(' '));
        if (kind == "recv")
            received += line.mid(line.indexOf(" B ") + 3);
        else if (kind == "begin" || kind == "program" || kind == "sha256")
            lines << kind;
        else if (kind == "summary")
            lines << line.left(line.indexOf(", chunks received"));
        else if (!line.isEmpty())
            lines << line.replace(port.toUtf8(), "<port>");
    }
    for (QByteArray& line : lines)
        line.replace(folder.toUtf8(), "<folder>");
    return lines << received;
}

double pause_at(qint32 baud)
{
    return baud == 38400 ? bootloader_protocol::uart_send_delay_ms : bootloader_protocol::usb_send_delay_ms;
}

// One gap says little on a busy machine. Line k of a file comes at least k pauses after its first (less its lateness,
// 23 ms seen with sanitizers), a file lasts at most a few times as recorded, a protocol wait at least half as long.
QString pacing_fault(const QList<Trace::Item>& now, const QList<Trace::Item>& then)
{
    constexpr double first_read_lateness_ms = 30;
    double since_first = 0, recorded_since_first = 0;
    int paced = 0;
    for (int i = 0; i < now.size(); ++i) {
        const Trace::Item& item = now.at(i);
        const Trace::Item& recorded = then.at(i);
        if ((item.gap_ms < 0) != (recorded.gap_ms < 0))
            return QString::asprintf("item %d: a gap appeared or vanished", i + 1);
        if (item.gap_ms < 0)
            continue;
        if (!item.paced) {
            since_first = recorded_since_first = 0;
            paced = 0;
            if (item.gap_ms < recorded.gap_ms * 0.5 - 5 || item.gap_ms > recorded.gap_ms * 4 + 50)
                return QString::asprintf("item %d: gap %.2f ms, recorded %.2f ms", i + 1, item.gap_ms, recorded.gap_ms);
            continue;
        }
        since_first += item.gap_ms;
        recorded_since_first += recorded.gap_ms;
        ++paced;
        if (since_first < paced * pause_at(item.baud) - first_read_lateness_ms)
            return QString::asprintf("item %d: %.2f ms after the file's first line, %d pauses of %.0f ms", i + 1,
                                     since_first, paced, pause_at(item.baud));
        if (since_first > recorded_since_first * 3 + 50)
            return QString::asprintf("item %d: %.2f ms after the file's first line, recorded %.2f ms", i + 1,
                                     since_first, recorded_since_first);
    }
    return QString();
}

Trace record(const Scenario& scenario)
{
    Trace trace;
    QFile::remove(unit_record::default_reports_path());
    Sim sim(scenario.options);
    WindowUnderTest ui;
    QTemporaryDir dir;
    ui.window->set_waits(scenario.waits);

    // The info label and the start button change without a signal: what they show is noted, when it differs, as the
    // status moves on and after each of the engine's reports the window reacts to.
    const auto* start_button = ui.popup->findChild<QAbstractButton*>("initButton");
    QByteArray shown;
    const auto note = [&](const QByteArray& line = QByteArray()) {
        const QByteArray now = "info " + escaped(ui.text("info").toUtf8()) + " start button " +
                               (start_button->isEnabled() ? "enabled" : "disabled");
        if (now != shown)
            trace.window.append(shown = now);
        if (!line.isEmpty())
            trace.window.append(line);
    };
    const auto* status = ui.widget<QLineEdit>("statusBootloader");
    QObject::connect(status, &QLineEdit::textChanged,
                     [&](const QString& text) { note("text " + escaped(text.toUtf8())); });
    auto* connect_button = ui.widget<QAbstractButton>("connectButton");
    QObject::connect(ui.widget<QProgressBar>("progressBar"), &QProgressBar::valueChanged, [&](int value) {
        note("progress " + QByteArray::number(value));
        if (scenario.act == Act::reconnect_in_a_pause && value == 100)
            QTimer::singleShot(0, connect_button, [connect_button] {
                connect_button->click(); // disconnects
                connect_button->click();
            });
    });
    const auto* engine = ui.window->findChild<UpdateEngine*>();
    QObject::connect(engine, &UpdateEngine::silent_for, [&] { note(); });
    QObject::connect(engine, &UpdateEngine::ended, [&] { note(); });
    QObject::connect(engine, &UpdateEngine::port_lost, [&] { note(); });
    bool acted = false;
    QObject::connect(&sim, &Sim::got, [&](const Sim::Received& r) {
        if (scenario.act == Act::failure_behind_announcement && r.bytes == "#B_STR") {
            sim.send("#B_UAR");
            sim.send("#B_CRC");
        } else if (scenario.act == Act::odd_progress && r.kind == Sim::Received::Kind::line) {
            const QByteArray replies[] = {QByteArray("#B_PR\0", 6), "#B_PR\xC8", "#B_PR_#B_ENV#B_BOK"};
            if (r.line >= 5)
                sim.send(replies[r.line - 5]);
        } else if (scenario.act == Act::odd_progress && r.bytes == "#B_STR") {
            sim.send("#B_UAR");
            QTimer::singleShot(20, &sim, [&sim] { sim.send("#B_MAX"); });
        } else if (scenario.act == Act::slow_board && r.bytes == "#B_STR") {
            sim.send("#B_USB");
            sim.send("#B_MAX");
        } else if (scenario.act == Act::slow_board && r.bytes == "#B_END") {
            sim.hang_up();
        } else if (scenario.act == Act::slow_board && r.line == 4 + 3) {
            QTimer::singleShot(r.file == 0 ? 0 : 1500, &sim, [&sim] { sim.send("#B_PR\x5B"); });
            QTimer::singleShot(r.file == 0 ? 0 : 1650, &sim, [&sim] { sim.send("#B_ENV#B_BOK"); });
        }
        if (acted || r.kind != Sim::Received::Kind::line || r.file != 0 || r.line != scenario.act_at_line)
            return;
        acted = true;
        if (scenario.act == Act::disconnect)
            connect_button->click();
        else if (scenario.act == Act::search)
            ui.widget<QAbstractButton>("Search_archive")->click();
        else if (scenario.act == Act::close_window)
            ui.window->close();
    });

    const QString package = dir.filePath(QStringLiteral("Linha_X#1.vkt"));
    const std::function<void()> early_request = [&sim] {
        sim.send("#B_MAX");
        run_for(100);
    };
    if (!package_builder::write_package(package, scenario.files) ||
        !ui.start_run(sim, package, scenario.act == Act::request_before_consent ? early_request : nullptr)) {
        qWarning("the run could not start");
        return trace;
    }
    QSignalSpy finished(&sim, &Sim::finished);
    if (!run_until([&] { return !finished.isEmpty() || !ui.popup->is_started(); }, run_timeout_ms))
        qWarning("the run did not end");
    run_for(settle_ms);

    const QList<Sim::Received>& received = sim.received();
    for (int i = 0; i < received.size(); ++i) {
        const Sim::Received &r = received.at(i), *before = i > 0 ? &received.at(i - 1) : nullptr;
        const char* const kinds[] = {"token", "line", "stray"}; // in the order of Received::Kind
        const bool line = r.kind == Sim::Received::Kind::line;
        trace.equipment.append({QByteArray(kinds[int(r.kind)]) + ' ' + QByteArray::number(r.baud) + ' ' +
                                    QByteArray::number(r.file) + ' ' + QByteArray::number(r.line) + ' ' +
                                    escaped(r.bytes),
                                before ? (r.at_ns - before->at_ns) / 1e6 : -1, r.baud,
                                line && before && before->kind == r.kind && before->file == r.file});
    }
    trace.window.append("end status " + escaped(ui.text("statusBootloader").toUtf8()) + " info " +
                        escaped(ui.text("info").toUtf8()) + " connection " +
                        escaped(ui.text("statusConnect").toUtf8()) + " dialog " +
                        (ui.popup->isVisible() ? "shown" : "closed") + " start button " +
                        (ui.popup->findChild<QAbstractButton*>("initButton")->isEnabled() ? "enabled" : "disabled") +
                        " status box " + (ui.widget("boxStatus")->isEnabled() ? "enabled" : "disabled") + " package " +
                        escaped(ui.text("lineStatusArchive").toUtf8()));
    trace.window.append("end files left " + names_in(dir.path()).join(' ').toUtf8());
    const QJsonObject unit = QJsonDocument::fromJson(read_file(unit_record::default_reports_path())).object();
    trace.window.append("end record " + escaped(unit.value("end_text").toString().toUtf8()) + ' ' +
                        unit.value("end_class").toString().toUtf8());
    trace.window.append("end status shown from " + QByteArray::number(status->cursorPosition()));
    trace.log = service_log(engine->service_log_file(), sim.port_path().mid(qstrlen("/dev/")), dir.path());
    return trace;
}

// The window, its port on a pseudo-terminal and the equipment on the other end.
struct Rig {
    explicit Rig(const Sim::Options& options = Sim::Options()) : sim(options) {}
    QString package(const QList<package_builder::Entry>& files)
    {
        const QString path = dir.filePath(QStringLiteral("Linha_X#%1.vkt").arg(++packages));
        return package_builder::write_package(path, files) ? path : QString();
    }

    Sim sim;
    WindowUnderTest ui;
    QTemporaryDir dir;
    int packages = 0;
};

} // namespace

class tst_window : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();
    void consent_is_per_package();
    void connection_control();
    void signed_package();
};

void tst_window::run_data()
{
    QTest::addColumn<QString>("name");
    for (const QString& name : scenarios().keys())
        QTest::newRow(qPrintable(name)) << name;
}

void tst_window::run()
{
    QFETCH(QString, name);
    const Trace now = record(scenarios().value(name));
    QFile file(QStringLiteral(VKT_GOLDEN_DIR "/%1.trace").arg(name));
    if (qEnvironmentVariableIsSet("VKT_RECORD_TRACES")) {
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(now.text()) > 0);
        return;
    }
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
    const Trace then = Trace::parse(file.readAll());

    QCOMPARE(now.window, then.window);
    QCOMPARE(now.log, then.log);
    QCOMPARE(now.equipment.size(), then.equipment.size());
    for (int i = 0; i < now.equipment.size(); ++i)
        QCOMPARE(now.equipment.at(i).head, then.equipment.at(i).head);
    const QString fault = pacing_fault(now.equipment, then.equipment);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
}

// Consent given for one package never starts another, and the run it started ends with a warning when its record cannot
// be written; closing the window removes what the unpacking created.
void tst_window::consent_is_per_package()
{
    Sim::Options options;
    options.silent_file = 0;
    Rig rig(options);
    bootloader_protocol::Waits waits = short_waits();
    waits.reply_ms = run_timeout_ms;
    rig.ui.window->set_waits(waits);
    QVERIFY(rig.ui.start_run(rig.sim, rig.package({{"MAIN_1.s", package_builder::converted_firmware('C', 5)}})));
    QTRY_COMPARE(rig.sim.tokens().size(), 1);
    QFile::remove(unit_record::default_reports_path());
    QVERIFY(QDir().mkpath(unit_record::default_reports_path()));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^The unit's record was not written to the reports file: "));
    QVERIFY(rig.ui.choose_package(rig.package({{"GRID_1.s", package_builder::converted_firmware('A', 5)}})));
    QVERIFY(QDir().rmdir(unit_record::default_reports_path()) && rig.ui.popup->isVisible());
    QTest::qWait(100);
    QCOMPARE(rig.sim.tokens().size(), 1);
    QVERIFY(rig.ui.popup->findChild<QAbstractButton*>("initButton")->isEnabled() && !rig.ui.popup->is_started());
    QCOMPARE(rig.ui.text("statusBootloader"), QString()); // no counter of the ended run
    QCOMPARE(names_in(rig.dir.path()).size(), 3);         // two packages, one unpacking
    rig.ui.converter->show();
    rig.ui.window->close();
    QCOMPARE(names_in(rig.dir.path()), (QStringList{"Linha_X#1.vkt", "Linha_X#2.vkt"}));
    QVERIFY(!rig.ui.popup->isVisible() && !rig.ui.converter->isVisible());
}

void tst_window::connection_control()
{
    Rig rig;
    QVERIFY(rig.sim.open_pty());
    QVERIFY(!rig.ui.widget("archiveGroupBox")->isEnabled() && !rig.ui.widget("boxStatus")->isEnabled());
    // The list follows plugging without a press: each port by its name, the adapter in its tooltip, the chosen one
    // staying chosen while it is there.
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
    // A name typed in the box stays as typed, cursor and all.
    box->setEditText(QStringLiteral("/dev/ttyS9"));
    box->lineEdit()->setCursorPosition(4);
    // Another adapter under the same name between two polls is another port.
    catalog.listed[0] = first;
    catalog.listed[0].name = QStringLiteral("ttyUSB0");
    QVERIFY(run_until([&] { return box->itemData(0, Qt::ToolTipRole) == catalog.listed[0].describe(); }, 5000));
    QCOMPARE(box->currentText(), QStringLiteral("/dev/ttyS9"));
    // The scan button reads the ports at once, between two polls.
    catalog.listed << first;
    rig.ui.widget<QAbstractButton>("scan_push_button")->click();
    QCOMPARE(box->count(), 2);
    QCOMPARE(box->lineEdit()->cursorPosition(), 4);
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

// With a key installed, a package changed after signing is refused in the package field before anything is unpacked or
// sent; the signed one shows its trusted comment in the warning dialog and updates the unit, the record naming the key.
void tst_window::signed_package()
{
    Rig rig;
    const QByteArray config_before = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(rig.dir.filePath("config")));
    const QString keys = package_trust::default_folders().last();
    QString key_id, why;
    QVERIFY(QDir().mkpath(keys) &&
            package_signing::write_key_pair(rig.dir.filePath("k.key"), keys + "/k.pub", {}, &key_id, &why));
    const auto key = package_signing::load_key(rig.dir.filePath("k.key"), {}, &why);
    const QString good = rig.package({{"MAIN_1.s", package_builder::converted_firmware('C', 5)}});
    const std::optional<QString> comment = package_signing::sign_package(good, *key, &why);
    QVERIFY2(comment, qPrintable(why));
    const QString tampered = rig.dir.filePath("Linha_Z#1.vkt");
    QByteArray bytes = read_file(good);
    bytes[bytes.size() - 30] = char(bytes.at(bytes.size() - 30) ^ 1);
    QVERIFY(write_file(tampered, bytes) && QFile::copy(good + ".minisig", tampered + ".minisig"));
    rig.ui.window->set_waits(short_waits());
    rig.ui.window->show();
    QVERIFY(rig.sim.open_pty() && rig.ui.connect_to(rig.sim.port_path()));
    const QStringList before = names_in(rig.dir.path());

    QVERIFY(rig.ui.choose_package(tampered));
    QCOMPARE(rig.ui.text("lineStatusArchive"), QString::fromUtf8("Erro! Assinatura inválida: pacote alterado"));
    QVERIFY(!rig.ui.popup->isVisible());
    QCOMPARE(names_in(rig.dir.path()), before);
    QVERIFY(rig.ui.choose_package(good));
    QCOMPARE(rig.ui.text("lineStatusArchive"), QStringLiteral("Arquivo Validado"));
    QCOMPARE(rig.ui.popup->findChild<QLabel*>("signerLabel")->toolTip(), "Assinado: " + *comment);
    rig.ui.popup->findChild<QAbstractButton*>("initButton")->click();
    QVERIFY(run_until([&] { return rig.ui.text("info").startsWith(QStringLiteral("Atualização completa")); },
                      run_timeout_ms));
    QCOMPARE(rig.sim.tokens().first(), QByteArray("#B_STR"));
    const QList<QByteArray> records = read_file(unit_record::default_reports_path()).split('\n');
    const QJsonObject record = QJsonDocument::fromJson(records.value(records.size() - 2)).object();
    QCOMPARE(record.value("signature").toString() + ' ' + record.value("signature_key").toString(),
             "verified " + key_id);
    qputenv("XDG_CONFIG_HOME", config_before);
}

QTEST_MAIN(tst_window)
#include "tst_window.moc"
