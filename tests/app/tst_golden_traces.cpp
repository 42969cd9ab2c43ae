// What the equipment receives and what the operator reads, for whole runs and for every way a run
// ends, held against traces recorded from the window before its update moved out of it: the bytes,
// the line rate in force and the texts must come out exactly, the gaps between lines within the
// pacing's tolerance. VKT_RECORD_TRACES=1 writes the traces instead of comparing them.
#include "app/mainwindow.h"
#include "equipment/equipment_simulator.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/popup.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using Sim = EquipmentSimulator;

namespace
{

constexpr int run_timeout_ms = 60000;
// Longer than any shortened wait, so that a timer of an ended run would still show.
constexpr int settle_ms = 700;

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

// What the operator does during a run, or what the equipment does that the simulator's options
// cannot say.
enum class Act { none, disconnect, close_window, failure_behind_announcement };

struct Scenario {
    Sim::Options options;
    QList<package_builder::Entry> files;
    Act act = Act::none;
    int act_at_line = 0; // of the first file
};

QList<package_builder::Entry> three_files(int records)
{
    return {{"Event_1.s", firmware('F', 3)}, {"MAIN_2.s", firmware('C', records)}, {"GRID_3.s", firmware('A', 4)}};
}

QList<package_builder::Entry> two_files()
{
    return {{"MAIN_1.s", firmware('C', 20)}, {"GRID_2.s", firmware('A', 3)}};
}

// Every way a run ends is played on a UART link: whether the program hears the equipment before
// its next line is a race the 3 ms of a USB pause lose now and then on a busy machine, the 25 ms
// of a UART pause never.
Scenario ending()
{
    Scenario s;
    s.options.link = Sim::Link::uart;
    s.files = two_files();
    return s;
}

Scenario failing(int file, int after_line, const QByteArray& token)
{
    Scenario s = ending();
    s.options.fail_file = file;
    s.options.fail_after_line = after_line;
    s.options.fail_token = token;
    return s;
}

QMap<QString, Scenario> scenarios()
{
    QMap<QString, Scenario> all;
    all["usb_whole_package"].files = three_files(60);
    Scenario uart;
    uart.options.link = Sim::Link::uart;
    uart.options.reset_file = 1;
    uart.files = three_files(16);
    all["uart_whole_package_with_reset"] = uart;
    all["failure_in_the_header"] = failing(0, 2, "#B_CRC");
    all["failure_mid_data"] = failing(0, 14, "#B_FRD");
    all["failure_after_the_data"] = failing(0, 24, "#B_GRV");
    all["failure_in_the_second_file"] = failing(1, 5, "#B_INV");
    all["unknown_answer"] = failing(0, 14, "#B_XYZ");
    Scenario before = ending();
    before.options.automatic = false;
    before.act = Act::failure_behind_announcement;
    all["failure_behind_the_announcement"] = before;
    Scenario silent = ending();
    silent.options.silent_file = 1;
    all["silent_device"] = silent;
    Scenario lost = ending();
    lost.options.hang_up_file = 0;
    lost.options.hang_up_after_line = 14;
    all["line_lost"] = lost;
    Scenario disconnect = ending();
    disconnect.act = Act::disconnect;
    disconnect.act_at_line = 14;
    all["operator_disconnects"] = disconnect;
    Scenario closed = disconnect;
    closed.act = Act::close_window;
    all["window_closed"] = closed;
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

    QByteArray text() const
    {
        QByteArray out = "# equipment: kind baud file line bytes | gap before it in ms\n";
        for (const Item& item : equipment)
            out += item.head + " | " + (item.gap_ms < 0 ? "-" : QByteArray::number(item.gap_ms, 'f', 2)) + '\n';
        out += "# window\n";
        for (const QByteArray& line : window)
            out += line + '\n';
        return out;
    }

    static Trace parse(const QByteArray& text)
    {
        Trace trace;
        bool in_window = false;
        for (const QByteArray& line : text.split('\n')) {
            if (line.startsWith("# window")) {
                in_window = true;
            } else if (line.isEmpty() || line.startsWith('#')) {
                continue;
            } else if (in_window) {
                trace.window.append(line);
            } else {
                const int bar = line.lastIndexOf(" | ");
                Item item;
                item.head = line.left(bar);
                const QByteArray gap = line.mid(bar + 3);
                item.gap_ms = gap == "-" ? -1 : gap.toDouble();
                trace.equipment.append(item);
            }
        }
        return trace;
    }
};

double pause_at(qint32 baud)
{
    return baud == 38400 ? bootloader_protocol::uart_send_delay_ms : bootloader_protocol::usb_send_delay_ms;
}

// The equipment reads each line when its notifier runs, which on a busy machine can be several
// milliseconds after the write: a single gap says little. What the protocol guarantees is that no
// pause is shorter than asked, so within a file the k-th line arrives no sooner than k pauses after
// the first (less the lateness of the first read, measured up to a few milliseconds here), and a
// file takes no more than a few times as long as it did when recorded. A gap that holds one of the
// protocol's own waits (the pause after a confirmation, a reset) keeps at least half its recorded
// length: a wait left out shows.
QString pacing_fault(const QList<Trace::Item>& now, const QList<Trace::Item>& then)
{
    constexpr double first_read_lateness_ms = 10;
    double since_first = 0, recorded_since_first = 0;
    int paced = 0;
    for (int i = 0; i < now.size(); ++i) {
        const Trace::Item& item = now.at(i);
        const Trace::Item& recorded = then.at(i);
        if ((item.gap_ms < 0) != (recorded.gap_ms < 0))
            return QStringLiteral("item %1: a gap appeared or vanished").arg(i + 1);
        if (item.gap_ms < 0)
            continue;
        if (!item.paced) {
            since_first = recorded_since_first = 0;
            paced = 0;
            if (item.gap_ms < recorded.gap_ms * 0.5 - 5 || item.gap_ms > recorded.gap_ms * 4 + 50)
                return QStringLiteral("item %1: gap %2 ms, recorded %3 ms")
                    .arg(i + 1)
                    .arg(item.gap_ms)
                    .arg(recorded.gap_ms);
            continue;
        }
        since_first += item.gap_ms;
        recorded_since_first += recorded.gap_ms;
        ++paced;
        if (since_first < paced * pause_at(item.baud) - first_read_lateness_ms)
            return QStringLiteral("item %1: %2 ms after the file's first line, %3 pauses of %4 ms")
                .arg(i + 1)
                .arg(since_first)
                .arg(paced)
                .arg(pause_at(item.baud));
        if (since_first > recorded_since_first * 3 + 50)
            return QStringLiteral("item %1: %2 ms after the file's first line, recorded %3 ms")
                .arg(i + 1)
                .arg(since_first)
                .arg(recorded_since_first);
    }
    return QString();
}

} // namespace

class tst_golden_traces : public QObject
{
    Q_OBJECT

private slots:
    void run_data();
    void run();

private:
    Trace record(const Scenario& scenario);
};

void tst_golden_traces::run_data()
{
    QTest::addColumn<QString>("name");
    for (const QString& name : scenarios().keys())
        QTest::newRow(qPrintable(name)) << name;
}

Trace tst_golden_traces::record(const Scenario& scenario)
{
    Trace trace;
    Sim sim(scenario.options);
    WindowUnderTest ui;
    QTemporaryDir dir;
    ui.window->set_waits(short_waits());
    ui.window->show();

    const auto* status = ui.widget<QLineEdit>("statusBootloader");
    QObject::connect(status, &QLineEdit::textChanged,
                     [&trace](const QString& text) { trace.window.append("text " + escaped(text.toUtf8())); });
    QObject::connect(ui.widget<QProgressBar>("progressBar"), &QProgressBar::valueChanged,
                     [&trace](int value) { trace.window.append("progress " + QByteArray::number(value)); });
    bool acted = false;
    QObject::connect(&sim, &Sim::got, [&](const Sim::Received& r) {
        if (scenario.act == Act::failure_behind_announcement && r.bytes == "#B_STR") {
            sim.send("#B_UAR");
            sim.send("#B_CRC");
        }
        if (acted || r.kind != Sim::Received::Kind::line || r.file != 0 || r.line != scenario.act_at_line)
            return;
        acted = true;
        if (scenario.act == Act::disconnect)
            ui.widget<QAbstractButton>("connectButton")->click();
        else if (scenario.act == Act::close_window)
            ui.window->close();
    });

    const QString package = dir.filePath(QStringLiteral("Linha_X#1.vkt"));
    if (!sim.open_pty() || !ui.connect_to(sim.port_path()) ||
        !package_builder::write_package(package, scenario.files) || !ui.choose_package(package) ||
        !ui.popup->isVisible()) {
        qWarning("the run could not start");
        return trace;
    }
    ui.popup->findChild<QAbstractButton*>("initButton")->click();
    QSignalSpy finished(&sim, &Sim::finished);
    if (!run_until([&] { return !finished.isEmpty() || !ui.popup->is_started(); }, run_timeout_ms))
        qWarning("the run did not end");
    run_for(settle_ms);

    qint64 last_ns = -1;
    int last_file = -2;
    bool last_was_line = false;
    for (const Sim::Received& r : sim.received()) {
        const char* kind = r.kind == Sim::Received::Kind::token  ? "token"
                           : r.kind == Sim::Received::Kind::line ? "line"
                                                                 : "stray";
        Trace::Item item;
        item.head = QByteArray(kind) + ' ' + QByteArray::number(r.baud) + ' ' + QByteArray::number(r.file) + ' ' +
                    QByteArray::number(r.line) + ' ' + escaped(r.bytes);
        item.gap_ms = last_ns < 0 ? -1 : (r.at_ns - last_ns) / 1e6;
        item.baud = r.baud;
        const bool line = r.kind == Sim::Received::Kind::line;
        item.paced = line && last_was_line && r.file == last_file;
        trace.equipment.append(item);
        last_ns = r.at_ns;
        last_file = r.file;
        last_was_line = line;
    }
    trace.window.append("end status " + escaped(ui.text("statusBootloader").toUtf8()) + " info " +
                        escaped(ui.text("info").toUtf8()) + " connection " +
                        escaped(ui.text("statusConnect").toUtf8()) + " dialog " +
                        (ui.popup->isVisible() ? "shown" : "closed") + " start button " +
                        (ui.popup->findChild<QAbstractButton*>("initButton")->isEnabled() ? "enabled" : "disabled") +
                        " status box " + (ui.widget("boxStatus")->isEnabled() ? "enabled" : "disabled"));
    const QStringList left = names_in(dir.path());
    trace.window.append("end files left " + left.join(' ').toUtf8());
    return trace;
}

void tst_golden_traces::run()
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
    QCOMPARE(now.equipment.size(), then.equipment.size());
    for (int i = 0; i < now.equipment.size(); ++i)
        QCOMPARE(now.equipment.at(i).head, then.equipment.at(i).head);
    const QString fault = pacing_fault(now.equipment, then.equipment);
    QVERIFY2(fault.isEmpty(), qPrintable(fault));
}

QTEST_MAIN(tst_golden_traces)
#include "tst_golden_traces.moc"
