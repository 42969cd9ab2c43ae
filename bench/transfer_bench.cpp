// Sends a 1000-line firmware file through the real main window to the simulated equipment, once
// per link type, and prints how close the transfer comes to its floor of pauses, the median gap
// between two lines, and how long a progress report written by the device takes to reach the
// status line.
//
// Run by hand, preferably from a Release build: build-rel/bench/transfer_bench

#include "app/mainwindow.h"
#include "equipment/equipment_simulator.h"
#include "rules/bootloader_protocol.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/popup.h"

#include <QAbstractButton>
#include <QApplication>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{

using Link = EquipmentSimulator::Link;

constexpr int file_lines = 1000;
constexpr int header_lines = 4;
constexpr int run_timeout_ms = 120000;

struct Figures {
    double data_ms = 0;
    double floor_ms = 0;
    double median_gap_ms = 0;
    double longest_gap_ms = 0;
    int reports = 0;
    int reports_seen = 0;
    double worst_report_ms = 0;
    double mean_report_ms = 0;
    bool complete = false;
};

struct Showing {
    int progress;
    QString status;
    qint64 at_ns;
};

double ms(qint64 ns)
{
    return static_cast<double>(ns) / 1e6;
}

Figures run(Link link, int send_delay_ms)
{
    Figures figures;
    QTemporaryDir root;
    const QString package = root.filePath(QStringLiteral("Bench#1.vkt"));
    const QByteArray content = package_builder::converted_firmware('C', file_lines - header_lines);
    if (!package_builder::write_package(package, {{QStringLiteral("MAIN.s19"), content}}))
        return figures;

    // The equipment reports each tenth of the file as it arrives, then checks and confirms it.
    EquipmentSimulator::Options options;
    options.link = link;
    EquipmentSimulator sim(options);
    if (!sim.open_pty())
        return figures;
    QSignalSpy finished(&sim, &EquipmentSimulator::finished);

    WindowUnderTest ui;
    ui.window->show();

    // The status text and the bar are set in one call, text first; the bar's change marks the moment
    // the operator can see the report (the text alone repeats between reports and signals nothing).
    QList<Showing> shown;
    QObject::connect(ui.widget<QProgressBar>("progressBar"), &QProgressBar::valueChanged, [&](int value) {
        shown.append({value, ui.text("statusBootloader"), sim.elapsed_ns()});
    });

    ui.connect_to(sim.port_path());
    ui.choose_package(package);
    ui.popup->findChild<QAbstractButton*>(QStringLiteral("initButton"))->click();
    figures.complete = finished.wait(run_timeout_ms);

    std::vector<qint64> lines;
    for (const EquipmentSimulator::Received& item : sim.received()) {
        if (item.kind == EquipmentSimulator::Received::Kind::line && item.file == 0)
            lines.push_back(item.at_ns);
    }
    qint64 requested = -1;
    QList<EquipmentSimulator::Sent> reports;
    for (const EquipmentSimulator::Sent& sent : sim.sent()) {
        if (sent.bytes == "#B_MAX")
            requested = sent.at_ns;
        else if (sent.bytes.startsWith("#B_PR") && static_cast<unsigned char>(sent.bytes.at(5)) <= 90)
            reports.append(sent);
    }
    figures.complete = figures.complete && requested >= 0 && lines.size() == file_lines && sim.reports().size() == 1 &&
                       sim.reports().first().problems.isEmpty();
    if (!figures.complete)
        return figures;

    // From the request to the last line lie the writes of 1000 lines and the 999 pauses between them;
    // the pause after the last line ends unseen, so this understates the whole phase by one pause.
    figures.data_ms = ms(lines.back() - requested);
    figures.floor_ms = file_lines * send_delay_ms;
    std::vector<qint64> gaps;
    for (size_t i = 1; i < lines.size(); ++i)
        gaps.push_back(lines[i] - lines[i - 1]);
    figures.longest_gap_ms = ms(*std::max_element(gaps.begin(), gaps.end()));
    std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
    figures.median_gap_ms = ms(gaps[gaps.size() / 2]);

    figures.reports = reports.size();
    double total_ms = 0;
    for (const EquipmentSimulator::Sent& report : reports) {
        const int value = static_cast<unsigned char>(report.bytes.at(5));
        for (const Showing& s : shown) {
            if (s.progress == value && s.at_ns >= report.at_ns &&
                s.status.startsWith(QStringLiteral("Enviando dados..."))) {
                const double delay = ms(s.at_ns - report.at_ns);
                figures.worst_report_ms = std::max(figures.worst_report_ms, delay);
                total_ms += delay;
                ++figures.reports_seen;
                break;
            }
        }
    }
    figures.mean_report_ms = figures.reports_seen ? total_ms / figures.reports_seen : 0;
    return figures;
}

void print(const char* name, int send_delay_ms, const Figures& f)
{
    if (!f.complete) {
        std::printf("%-5s transfer did not complete\n", name);
        return;
    }
    std::printf("%-5s send_delay %2d ms | data phase %9.1f ms, floor %7.0f ms (1000 x send_delay), ratio %.3f"
                " | line gap median %.3f ms, longest %.1f ms\n",
                name, send_delay_ms, f.data_ms, f.floor_ms, f.data_ms / f.floor_ms, f.median_gap_ms, f.longest_gap_ms);
    std::printf("%-5s progress reports seen %d/%d | report to status line: worst %.2f ms, mean %.2f ms"
                " (aim: below %d ms)\n",
                name, f.reports_seen, f.reports, f.worst_report_ms, f.mean_report_ms, send_delay_ms + 10);
}

} // namespace

int main(int argc, char** argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    constexpr int usb_delay_ms = bootloader_protocol::usb_send_delay_ms;
    constexpr int uart_delay_ms = bootloader_protocol::uart_send_delay_ms;
    const Figures usb = run(Link::usb, usb_delay_ms);
    print("USB", usb_delay_ms, usb);
    const Figures uart = run(Link::uart, uart_delay_ms);
    print("UART", uart_delay_ms, uart);
    return usb.complete && uart.complete ? 0 : 1;
}
