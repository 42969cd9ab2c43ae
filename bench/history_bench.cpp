// Times the history's filtered queries at 10,000 and 100,000 rows, as vkt-update --history runs them: opening the
// database (with its check and the look for rows of dead programs), then each query with the rows turned into CSV.
// The rows are made by Debian's sqlite3 in one transaction, spread over a year of a busy line: 16 ports, 50 adapters,
// 20 packages, two runs per unit, one run in twenty a failure.
//
// Run by hand, preferably from a Release build: build-rel/bench/history_bench [ROWS...]

#include "cli/history_command.h"
#include "servicelog/unit_history.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{

constexpr int runs = 5;

bool fill(const QString& path, int rows)
{
    {
        UnitHistory history;
        if (!history.open(path))
            return false;
    }
    const QString sql =
        QStringLiteral(
            "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
            "INSERT INTO units (started, started_ms, ended, ended_ms, host, port, adapter_identity, usb_serial, "
            "usb_vid_pid, package_path, package_name, package_sha256, files, end_text, end_class, exit_code, "
            "service_log, os_user, program_version, unit_serial, file_results) "
            "SELECT strftime('%Y-%m-%dT%H:%M:%f-03:00', t / 1000.0, 'unixepoch'), t, "
            "strftime('%Y-%m-%dT%H:%M:%f-03:00', t / 1000.0 + 40, 'unixepoch'), t + 40000, 'bench-' || (i % 4), "
            "'ttyUSB' || (i % 16), 'usb:A' || (10000 + i % 50), 'A' || (10000 + i % 50), '0403:6001', "
            "'/srv/Linha_' || (i % 20) || '#1.vkt', 'Linha_' || (i % 20) || '#1.vkt', "
            "printf('%064x', i % 20), "
            "'[{\"name\":\"MAIN_fw.s19\",\"size\":1243},{\"name\":\"GRID_fw.s19\",\"size\":869}]', "
            "iif(i % 20 = 0, 'Erro de Checksum!', 'Operação realizada com Sucesso!'), "
            "iif(i % 20 = 0, 'device_failure', 'success'), iif(i % 20 = 0, 5, 0), "
            "'/home/tecnico/.local/share/vkt_update_tool/service-log/update_' || i || '.log', 'tecnico', '2.3', "
            "'SN' || (i / 2), '[{\"name\":\"MAIN_fw.s19\",\"board\":\"C\",\"size\":1243,\"end\":\"success\"}]' "
            "FROM (SELECT i, 1704067200000 + i * (31536000000 / %1) AS t FROM n); COMMIT;")
            .arg(rows);
    QProcess sqlite;
    sqlite.start(QStringLiteral("sqlite3"), {QStringLiteral("-batch"), path, sql});
    return sqlite.waitForFinished(600000) && sqlite.exitCode() == 0;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i)
        counts.push_back(std::atoi(argv[i]));
    if (counts.empty())
        counts = {10000, 100000};

    // The last week of the year the rows span, as "this week".
    const QDateTime week = QDateTime::fromMSecsSinceEpoch(1704067200000 + 31536000000 - 7 * 86400000LL);
    struct Query {
        const char* what;
        HistoryFilter filter;
    };
    std::vector<Query> queries(9);
    queries[0] = {"this week", {}};
    queries[0].filter.since = week;
    queries[1] = {"end class device_failure", {}};
    queries[1].filter.end_class = QStringLiteral("device_failure");
    queries[2] = {"adapter A10010", {}};
    queries[2].filter.adapter_serial = QStringLiteral("A10010");
    queries[3] = {"failed on adapter A10010 this week", {}};
    queries[3].filter = queries[2].filter;
    queries[3].filter.since = week;
    queries[3].filter.end_class = QStringLiteral("device_failure");
    queries[4] = {"unit SN1234", {}};
    queries[4].filter.unit_serial = QStringLiteral("SN1234");
    queries[5] = {"package by SHA-256", {}};
    queries[5].filter.package = QStringLiteral("%1").arg(7, 64, 16, QLatin1Char('0'));
    queries[6] = {"package by name", {}};
    queries[6].filter.package = QStringLiteral("Linha_7#1.vkt");
    queries[7] = {"port ttyUSB3", {}};
    queries[7].filter.port = QStringLiteral("ttyUSB3");
    queries[8] = {"every row (no filter)", {}};

    for (const int count : counts) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("history.db"));
        if (!fill(path, count)) {
            std::printf("%d rows: could not be made\n", count);
            return 1;
        }
        std::vector<double> opening;
        for (int run = 0; run < runs; ++run) {
            QElapsedTimer clock;
            clock.start();
            UnitHistory history;
            history.open(path);
            opening.push_back(clock.nsecsElapsed() / 1e6);
        }
        std::printf("%d rows, %.1f MB: opening %.1f ms\n", count, QFileInfo(path).size() / 1e6, median(opening));
        UnitHistory history;
        history.open(path);
        for (const Query& query : queries) {
            std::vector<double> times;
            int found = 0;
            for (int run = 0; run < runs; ++run) {
                QElapsedTimer clock;
                clock.start();
                const QList<HistoryRow> rows = history.query(query.filter);
                const QByteArray csv = history_command::render(rows, history_command::Format::csv);
                times.push_back(clock.nsecsElapsed() / 1e6);
                found = rows.size() + (csv.isEmpty() ? 1 : 0);
            }
            std::printf("  %-36s %7d rows  %8.1f ms\n", query.what, found, median(times));
        }
        std::fflush(stdout);
    }
    return 0;
}
