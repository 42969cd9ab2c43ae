// Times one enumeration of the serial ports, as the port watcher runs it on the window's thread
// once per interval: the system's list alone, and with the identities and USB locations added.
// The figure grows with the number of tty devices the system has, listed or not.
//
// Run by hand, preferably from a Release build: build-rel/bench/port_catalog_bench

#include "link/port_catalog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSerialPortInfo>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace
{

// Enough calls for a stable median, few enough to finish in about a second.
constexpr int rounds = 300;

template <typename Call> void time_it(const char* what, Call call)
{
    std::vector<double> ms;
    int listed = 0;
    // The processor time apart from the wall time: on a busy machine the wall time includes waiting.
    const std::clock_t cpu_start = std::clock();
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        listed = call();
        ms.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    }
    const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC / rounds;
    std::sort(ms.begin(), ms.end());
    std::printf("%s: %d ports\n  wall median %.3f ms, 90%% %.3f ms, max %.3f ms; processor %.3f ms a call\n", what,
                listed, ms[ms.size() / 2], ms[ms.size() * 9 / 10], ms.back(), cpu_ms);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    time_it("QSerialPortInfo::availablePorts()",
            [] { return static_cast<int>(QSerialPortInfo::availablePorts().size()); });
    const SystemPortCatalog catalog;
    time_it("SystemPortCatalog::ports() (with USB location)", [&] { return static_cast<int>(catalog.ports().size()); });
    for (const QString& line : port_catalog::listing(catalog.ports()))
        std::printf("  %s\n", qPrintable(line));
    return 0;
}
