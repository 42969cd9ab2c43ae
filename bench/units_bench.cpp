// Updates N simulated units at once from one process and one thread, each a 1000-line file at USB
// pacing, for N = 1, 4, 8 and 16, and prints per N the worst unit's data phase against its floor of
// 1000 pauses, the median and longest gap between two lines, and the CPU time per unit (the
// simulated equipment runs in the same process, so its work is counted too).
//
// With --history each unit is also kept in a history database, as the front ends keep it: its row written before its
// first byte, its files as they go and its end, so that the figures with and without it can be compared.
//
// Run by hand, preferably from a Release build: build-rel/bench/units_bench [--history] [N...]

#include "engine/unit_ledger.h"
#include "engine/unit_report.h"
#include "engine/update_engine.h"
#include "equipment/equipment_simulator.h"
#include "support/package_builder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

namespace
{

constexpr int file_lines = 1000;
constexpr int header_lines = 4;
constexpr int run_timeout_ms = 120000;

UnitHistory* history = nullptr;

struct Unit {
    EquipmentSimulator sim;
    UpdateEngine engine{QString()};
    std::unique_ptr<UnitLedger> ledger;
    bool ended = false;
};

struct Figures {
    bool complete = false;
    double worst_ratio = 0;
    double median_gap_ms = 0;
    double longest_gap_ms = 0;
    double cpu_per_unit = 0;
};

double process_cpu_s()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

Figures run(int count, const QString& package)
{
    Figures figures;
    std::vector<std::unique_ptr<Unit>> units;
    for (int i = 0; i < count; ++i) {
        units.push_back(std::make_unique<Unit>());
        Unit& unit = *units.back();
        QObject::connect(&unit.engine, &UpdateEngine::ended, [&unit] { unit.ended = true; });
        if (history) {
            unit.ledger = std::make_unique<UnitLedger>(unit.engine, *history, QString());
            QObject::connect(&unit.engine, &UpdateEngine::ended,
                             [&unit](bootloader_protocol::EndClass end, const QString& text) {
                                 unit.ledger->close(unit_report::record_of(unit.engine, QString(), end, text));
                             });
        }
        if (!unit.sim.open_pty())
            return figures;
        unit.engine.open_port(unit.sim.port_path());
        if (!unit.engine.is_open() || !unit.engine.open_package(package).accepted)
            return figures;
    }

    QElapsedTimer wall;
    wall.start();
    const double cpu_before = process_cpu_s();
    for (auto& unit : units)
        unit->engine.start();
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (std::all_of(units.begin(), units.end(), [](const auto& u) { return u->ended; }) ||
            wall.elapsed() > run_timeout_ms)
            loop.quit();
    });
    check.start(10);
    loop.exec();

    std::vector<double> gaps;
    double busy_s = 0;
    figures.complete = true;
    for (auto& unit : units) {
        qint64 requested = -1, first = -1, last = -1, previous = -1;
        for (const EquipmentSimulator::Sent& sent : unit->sim.sent()) {
            if (sent.bytes == "#B_MAX")
                requested = sent.at_ns;
        }
        int lines = 0;
        for (const EquipmentSimulator::Received& item : unit->sim.received()) {
            if (item.kind != EquipmentSimulator::Received::Kind::line || item.file != 0)
                continue;
            if (previous >= 0)
                gaps.push_back((item.at_ns - previous) / 1e6);
            first = first < 0 ? item.at_ns : first;
            previous = last = item.at_ns;
            ++lines;
        }
        if (!unit->ended || lines != file_lines || requested < 0 || unit->sim.reports().size() != 1 ||
            !unit->sim.reports().first().problems.isEmpty()) {
            figures.complete = false;
            continue;
        }
        // From the request to the last line lie 1000 writes and the 999 pauses between them.
        const double data_ms = (last - requested) / 1e6;
        figures.worst_ratio =
            std::max(figures.worst_ratio, data_ms / (file_lines * bootloader_protocol::usb_send_delay_ms));
        busy_s = std::max(busy_s, (last - requested) / 1e9);
    }
    const double cpu_s = process_cpu_s() - cpu_before;
    if (!gaps.empty()) {
        std::sort(gaps.begin(), gaps.end());
        figures.median_gap_ms = gaps[gaps.size() / 2];
        figures.longest_gap_ms = gaps.back();
    }
    // The units send at the same time, so the CPU of the whole run spread over the data phase and
    // the units is each unit's share of a core while it sends.
    figures.cpu_per_unit = busy_s > 0 ? cpu_s / busy_s / count : 0;
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::vector<int> counts;
    QTemporaryDir history_dir;
    UnitHistory kept;
    for (int i = 1; i < argc; ++i) {
        if (QByteArray(argv[i]) == "--history" && kept.open(history_dir.filePath(QStringLiteral("history.db"))))
            history = &kept;
        else
            counts.push_back(std::atoi(argv[i]));
    }
    if (counts.empty())
        counts = {1, 4, 8, 16};

    QTemporaryDir dir;
    const QString package = dir.filePath(QStringLiteral("Bench#1.vkt"));
    const QByteArray content = package_builder::converted_firmware('C', file_lines - header_lines);
    if (!package_builder::write_package(package, {{QStringLiteral("MAIN.s19"), content}}))
        return 1;

    bool complete = true;
    std::printf("history %s\n", history ? "on" : "off");
    std::printf("units | worst data phase / floor | line gap median, longest | CPU per unit\n");
    for (const int count : counts) {
        const Figures f = run(count, package);
        complete = complete && f.complete;
        if (!f.complete) {
            std::printf("%5d | did not complete\n", count);
            continue;
        }
        std::printf("%5d | %24.3f | %8.3f ms, %7.1f ms | %10.1f %%\n", count, f.worst_ratio, f.median_gap_ms,
                    f.longest_gap_ms, f.cpu_per_unit * 100);
        std::fflush(stdout);
    }
    return complete ? 0 : 1;
}
