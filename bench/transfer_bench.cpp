// Sends a 1000-line firmware file through the real main window to the simulated bootloader, once
// per link type, and prints how close the transfer comes to its floor of pauses and how long a
// progress report written by the device takes to reach the status line.
//
// Run by hand, preferably from a Release build: build-rel/bench/transfer_bench

#include "app/bootloader_protocol.h"
#include "app/mainwindow.h"
#include "support/fake_bootloader.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/popup.h"

#include <QAbstractButton>
#include <QApplication>
#include <QProgressBar>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace
{

using Clock = FakeBootloader::Clock;
using Link = FakeBootloader::Link;

constexpr int file_lines = 1000;
constexpr int header_lines = 4;
// Often enough for a good sample, far enough apart that no two reports meet in one read.
constexpr int report_every_lines = 40;
constexpr int run_timeout_ms = 120000;

struct Figures {
    double data_ms = 0;
    double floor_ms = 0;
    double mean_line_ms = 0;
    int reports = 0;
    int reports_seen = 0;
    double worst_report_ms = 0;
    double mean_report_ms = 0;
    bool complete = false;
};

struct Showing {
    int progress;
    QString status;
    Clock::time_point at;
};

Figures run(Link link, int send_delay_ms)
{
    Figures figures;
    QTemporaryDir root;
    const QString package = root.filePath(QStringLiteral("Bench#1.vkt"));
    const QByteArray content = package_builder::converted_firmware('C', file_lines - header_lines);
    if (!package_builder::write_package(package, {{QStringLiteral("MAIN.s19"), content}}))
        return figures;

    FakeBootloader sim;
    sim.request_data(link);
    // Distinct values one after another, so each report changes what the window shows.
    sim.on_each_line([](int, int line, FakeBootloader::Reply& r) {
        if (line % report_every_lines == 0 && line < file_lines)
            r.send_progress(line / report_every_lines + 1);
    });
    sim.on_line(0, file_lines, [](FakeBootloader::Reply& r) { r.send("#B_BOK"); });

    WindowUnderTest ui;
    ui.window->show();

    // The status text and the bar are set in one call, text first; the bar's change marks the moment
    // the operator can see the report (the text alone repeats between reports and signals nothing).
    QList<Showing> shown;
    QObject::connect(ui.widget<QProgressBar>("progressBar"), &QProgressBar::valueChanged, [&](int value) {
        shown.append({value, ui.text("statusBootloader"), Clock::now()});
    });

    ui.connect_to(sim.terminal());
    ui.choose_package(package);
    ui.popup->findChild<QAbstractButton*>(QStringLiteral("initButton"))->click();
    figures.complete = sim.wait_for_token("#B_END", run_timeout_ms);

    const QList<FakeBootloader::Received> lines = sim.line_records(0);
    Clock::time_point requested{};
    QList<FakeBootloader::Sent> reports;
    for (const FakeBootloader::Sent& sent : sim.sent()) {
        if (sent.bytes == "#B_MAX")
            requested = sent.at;
        else if (sent.bytes.startsWith("#B_PR"))
            reports.append(sent);
    }
    figures.complete = figures.complete && lines.size() == file_lines;
    if (!figures.complete)
        return figures;

    // From the request to the last line lie the writes of 1000 lines and the 999 pauses between them;
    // the pause after the last line ends unseen, so this understates the whole phase by one pause.
    figures.data_ms = ms_between(requested, lines.last().at);
    figures.floor_ms = file_lines * send_delay_ms;
    figures.mean_line_ms = ms_between(lines.first().at, lines.last().at) / (file_lines - 1);

    figures.reports = reports.size();
    double total_ms = 0;
    for (const FakeBootloader::Sent& report : reports) {
        const int value = static_cast<unsigned char>(report.bytes.at(5));
        for (const Showing& s : shown) {
            if (s.progress == value && s.at >= report.at && s.status.startsWith(QStringLiteral("Enviando dados..."))) {
                const double delay = ms_between(report.at, s.at);
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
                " | mean line start to line start %.3f ms\n",
                name, send_delay_ms, f.data_ms, f.floor_ms, f.data_ms / f.floor_ms, f.mean_line_ms);
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
