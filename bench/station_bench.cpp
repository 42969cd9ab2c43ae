// Updates N simulated units through the station's window (N = 16 unless given), each a 1000-line file at USB pacing,
// all started by one press of "Iniciar", and prints the worst unit's data phase against its floor of 1000 pauses, the
// median and longest gap between two lines, and the longest stall of the window's event loop while lines went out and
// in the whole run (the units' endings included): a timer asks to be woken every 5 ms, and how much later than that it
// is woken is the stall. The window keeps each
// unit's service log, record and history row, and watches the ports as it does for the operator (udev or the poll).
//
// Run by hand, preferably from a Release build, on the offscreen platform: build-rel/bench/station_bench [N] [runs]

#include "equipment/equipment_simulator.h"
#include "link/port_monitor.h"
#include "station/station_window.h"
#include "support/dialog_answer.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/popup.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace
{

constexpr int file_lines = 1000;
constexpr int header_lines = 4;
constexpr int tick_ms = 5;

struct Figures {
    bool complete = false;
    double worst_ratio = 0;
    double median_gap_ms = 0;
    double longest_gap_ms = 0;
    double longest_stall_ms = 0;
    double longest_sending_stall_ms = 0;
};

Figures run(int count, const QString& package, const QString& settings)
{
    Figures figures;
    std::vector<std::unique_ptr<EquipmentSimulator>> units;
    StationWindow station(settings);
    station.show();
    station.findChild<QSpinBox*>(QStringLiteral("slotCount"))->setValue(count);
    for (int slot = 1; slot <= count; ++slot) {
        units.push_back(std::make_unique<EquipmentSimulator>());
        if (!units.back()->open_pty())
            return figures;
        auto* box = station.findChild<QComboBox*>(QStringLiteral("slot_%1").arg(slot));
        box->setEditText(units.back()->port_path());
        emit box->lineEdit()->editingFinished();
    }
    dialog_answer::answer_next_file_dialog(package);
    station.findChild<QPushButton*>(QStringLiteral("packageButton"))->click();
    station.findChild<QPushButton*>(QStringLiteral("startButton"))->click();
    auto* total = station.findChild<QLabel*>(QStringLiteral("totalCount"));

    // Each stall with when it ended, on the clock of the first unit's simulated equipment, so that those while lines
    // went out can be told from those at the start and the end.
    std::vector<std::pair<qint64, double>> stalls;
    QElapsedTimer since_tick;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        stalls.emplace_back(units.front()->elapsed_ns(), since_tick.nsecsElapsed() / 1e6 - tick_ms);
        since_tick.start();
    });
    // The stall is measured from the press of the warning's button: the units' unpacking before is part of the start.
    station.warning()->findChild<QPushButton*>(QStringLiteral("initButton"))->click();
    since_tick.start();
    ticker.start(tick_ms);
    const bool ended = run_until([&] { return total->text() == QStringLiteral("Total %1").arg(count); }, 120000);
    ticker.stop();
    if (!ended)
        return figures;

    std::vector<double> gaps;
    figures.complete = true;
    qint64 first_request = -1, last_line = -1;
    for (const auto& unit : units) {
        // From this unit's clock to the first unit's.
        const qint64 shift = units.front()->elapsed_ns() - unit->elapsed_ns();
        qint64 requested = -1, last = -1, previous = -1;
        for (const EquipmentSimulator::Sent& sent : unit->sent()) {
            if (sent.bytes == "#B_MAX" && requested < 0)
                requested = sent.at_ns;
        }
        int lines = 0;
        for (const EquipmentSimulator::Received& item : unit->received()) {
            if (item.kind != EquipmentSimulator::Received::Kind::line || item.file != 0)
                continue;
            if (previous >= 0)
                gaps.push_back((item.at_ns - previous) / 1e6);
            previous = last = item.at_ns;
            ++lines;
        }
        if (lines != file_lines || requested < 0 || unit->reports().size() != 1 ||
            !unit->reports().first().problems.isEmpty()) {
            figures.complete = false;
            continue;
        }
        first_request = first_request < 0 ? requested + shift : std::min(first_request, requested + shift);
        last_line = std::max(last_line, last + shift);
        figures.worst_ratio = std::max(figures.worst_ratio, (last - requested) / 1e6 /
                                                                (file_lines * bootloader_protocol::usb_send_delay_ms));
    }
    for (const auto& [at_ns, stall_ms] : stalls) {
        figures.longest_stall_ms = std::max(figures.longest_stall_ms, stall_ms);
        if (at_ns >= first_request && at_ns <= last_line)
            figures.longest_sending_stall_ms = std::max(figures.longest_sending_stall_ms, stall_ms);
    }
    if (!gaps.empty()) {
        std::sort(gaps.begin(), gaps.end());
        figures.median_gap_ms = gaps[gaps.size() / 2];
        figures.longest_gap_ms = gaps.back();
    }
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir dir;
    // The units' logs, records and history go to the bench's own folder.
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir.filePath(QStringLiteral("data"))));
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::clamp(std::atoi(argv[1]), 1, 16) : 16;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;

    const QString package = dir.filePath(QStringLiteral("Bench#1.vkt"));
    const QByteArray content = package_builder::converted_firmware('C', file_lines - header_lines);
    if (!package_builder::write_package(package, {{QStringLiteral("MAIN.s19"), content}}))
        return 1;
    const SystemPortCatalog system_ports;
    std::printf("ports noticed by: %s\n", qPrintable(PortMonitor::system(system_ports)->how()));
    std::printf("units | worst data phase / floor | line gap median, longest | longest event loop stall: while lines "
                "went out, in the whole run\n");
    bool complete = true;
    for (int i = 0; i < runs; ++i) {
        const Figures f = run(count, package, dir.filePath(QStringLiteral("station%1.ini").arg(i)));
        complete = complete && f.complete;
        if (!f.complete) {
            std::printf("%5d | did not complete\n", count);
            continue;
        }
        std::printf("%5d | %24.3f | %8.3f ms, %7.1f ms | %6.1f ms, %6.1f ms\n", count, f.worst_ratio, f.median_gap_ms,
                    f.longest_gap_ms, f.longest_sending_stall_ms, f.longest_stall_ms);
        std::fflush(stdout);
    }
    return complete ? 0 : 1;
}
