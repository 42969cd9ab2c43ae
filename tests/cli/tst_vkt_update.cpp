#include "equipment/equipment_simulator.h"
#include "link/serial.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <numeric>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using Sim = EquipmentSimulator;
using Options = QList<Sim::Options>;
Q_DECLARE_METATYPE(Sim::Options)

namespace
{

constexpr int run_timeout_ms = 30000;
// A silent unit is told of each half second, from the first whole second of silence on.
const char* const short_waits = "confirm_pause_ms=20,event_port_pause_ms=50,reply_ms=2700,silence_notice_ms=500";

// vkt-update as a process, the simulated units on this test's event loop while it runs.
struct Line {
    explicit Line(const Options& options)
    {
        for (const Sim::Options& o : options) {
            units.push_back(std::make_unique<Sim>(o));
            units.back()->open_pty();
        }
    }
    QStringList ports() const
    {
        QStringList args;
        for (const auto& unit : units)
            args << "--port" << unit->port_path();
        return args;
    }
    void start(const QStringList& args, const QString& waits = short_waits)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("VKT_UPDATE_TEST_WAITS", waits);
        if (!database.isEmpty())
            environment.insert("VKT_HISTORY_DB", database);
        if (!hook_bound_ms.isEmpty())
            environment.insert("VKT_UPDATE_TEST_HOOK_BOUND_MS", hook_bound_ms);
        process.setProcessEnvironment(environment);
        process.start(VKT_UPDATE, args);
    }
    int finish()
    {
        if (!run_until([this] { return process.state() == QProcess::NotRunning; }, run_timeout_ms))
            return -1;
        out = QString::fromUtf8(process.readAllStandardOutput());
        err = QString::fromUtf8(process.readAllStandardError());
        return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    int sent() const
    {
        return std::accumulate(units.begin(), units.end(), 0,
                               [](int n, const auto& u) { return n + u->received().size(); });
    }
    std::vector<std::unique_ptr<Sim>> units;
    QProcess process;
    QString out, err;
    QString database, hook_bound_ms;
};

QList<QJsonObject> json_lines(const QString& text)
{
    QList<QJsonObject> objects;
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts))
        objects << QJsonDocument::fromJson(line.toUtf8()).object();
    return objects;
}

// The record of each unit in the reports file, by port.
QMap<QString, QJsonObject> records_in(const QString& path)
{
    QMap<QString, QJsonObject> records;
    for (const QJsonObject& record : json_lines(read_file(path)))
        records.insert(record.value("port").toString(), record);
    return records;
}

// The longest gap between two lines of one file, in ms.
double longest_line_gap_ms(const Sim& unit)
{
    double longest = 0;
    const QList<Sim::Received>& received = unit.received();
    for (int i = 1; i < received.size(); ++i) {
        const Sim::Received &r = received.at(i), &previous = received.at(i - 1);
        if (r.kind == Sim::Received::Kind::line && previous.kind == r.kind && previous.file == r.file)
            longest = std::max(longest, (r.at_ns - previous.at_ns) / 1e6);
    }
    return longest;
}

// A command run to its end with what it reads on stdin; its status, and stdout followed by stderr.
int command(const QString& program, const QStringList& args, QString* output = nullptr, const QByteArray& input = {})
{
    QProcess process;
    process.start(program, args);
    process.write(input);
    process.closeWriteChannel();
    const bool ended = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    if (output)
        *output = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    return ended ? process.exitCode() : -1;
}

Sim::Options faulty(int Sim::Options::*fault, int after_line = 10, const QByteArray& token = "#B_CRC")
{
    Sim::Options options;
    options.*fault = 0;
    options.fail_after_line = options.hang_up_after_line = after_line;
    options.fail_token = token;
    return options;
}

} // namespace

class tst_vkt_update : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void endings_data();
    void endings();
    void four_units_two_failing();
    void interrupted_mid_run();
    void one_device_one_opener();
    void record_lost_is_told();
    void killed_leaves_nothing_at_the_next_start();
    void name_not_in_the_encoding();
    void on_a_terminal_data();
    void on_a_terminal();
    void killed_mid_run_data();
    void killed_mid_run();
    void four_lines_of_sixteen_units();
    void history_queries_data();
    void history_queries();
    void seen_before();
    void after_each_unit_data();
    void after_each_unit();
    void signed_packages();

private:
    // Whatever an update unpacked beside the packages and left there.
    QStringList unpacked_left() const
    {
        return names_in(dir.path()).filter(QRegularExpression(R"(^(?!.*\.vkt$|reports\.jsonl$|history\.db))"));
    }

    QTemporaryDir dir;
    QString package, reports;
};

void tst_vkt_update::initTestCase()
{
    package = dir.filePath("Linha_X#1.vkt");
    reports = dir.filePath("reports.jsonl");
    QVERIFY(package_builder::write_package(package, {{"MAIN_1.s", package_builder::converted_firmware('C', 60)}}));
    QVERIFY(package_builder::write_package(dir.filePath("Slow#1.vkt"),
                                           {{"MAIN_1.s", package_builder::converted_firmware('C', 400)}}));
    QVERIFY(write_file(dir.filePath("Damaged#1.vkt"), "PK not a zip"));
}

void tst_vkt_update::endings_data()
{
    QTest::addColumn<Options>("units");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("end_class"); // empty when nothing may be sent
    QTest::addColumn<QStringList>("shown"); // stdout without the times, or stderr when refused; %1 the port

    const Options one{Sim::Options()};
    // Each stage once, the last text again as the unit's ending, then the summary.
    const auto run = [](const char* row, const Options& units, int code, const char* end_class, QStringList shown,
                        const QString& text) {
        const QString ending = text + QStringLiteral(" (%1, código %2)").arg(end_class).arg(code);
        shown << "%1 (1 / 1) " + text << "%1 (1 / 1) fim: " + ending;
        shown << (code == 0 ? QStringList{"1 atualizado"}
                            : QStringList{"0 atualizados, 1 com falha", "  %1: " + ending});
        QTest::newRow(row) << units << QStringList() << code << end_class << shown;
    };
    // Told on stderr, and as a `refused` event to a script.
    const auto refused = [](const char* row, const Options& units, const QStringList& args, int code,
                            const QString& text) {
        QTest::newRow(row) << units << QStringList{"--json"} + args << code << QString()
                           << QStringList{"vkt-update: " + text};
    };
    // The equipment's check without equipment: a line per file in the order sent (event board last), then the total.
    const auto checked = [this](const char* row, const QByteArray& grid, const QByteArray& event, int code,
                                const QStringList& shown) {
        const QString path = dir.filePath(QStringLiteral("P#%1.vkt").arg(code));
        QVERIFY(package_builder::write_package(path, {{"EVENT_1.s", event}, {"GRID_1.s", grid}}));
        QTest::newRow(row) << Options() << QStringList{"--check", path} << code << QString() << shown;
    };
    const QStringList started{"%1 (1 / 1) Bootloader Iniciado"};
    run("updated", one, 0, "success",
        started + QStringList{"%1 (1 / 1) Enviando dados...", "%1 (1 / 1) Reprogramando Firmware..."},
        "Operação realizada com Sucesso!");
    run("device failure", {faulty(&Sim::Options::fail_file)}, 5, "device_failure", started, "Erro de Checksum!");
    run("time-out", {faulty(&Sim::Options::silent_file)}, 6, "timeout", {"%1 sem resposta há 1 s"}, "TimeOut");
    run("unexpected answer", {faulty(&Sim::Options::fail_file, 10, "#B_XYZ")}, 7, "unexpected_answer", started,
        "Resposta inesperada do equipamento!");
    run("link lost", {faulty(&Sim::Options::hang_up_file)}, 8, "link_lost", started, "Comunicação interrompida!");
    refused("package refused", one, {"--yes", dir.filePath("Damaged#1.vkt")}, 3,
            "Erro! Pacote vazio ou danificado; nothing was sent");
    refused("missing package", one, {"--yes", dir.filePath("None#1.vkt")}, 3,
            "no package " + dir.filePath("None#1.vkt"));
    refused("missing port", one, {"--yes", "--port", "/dev/vkt-no-such-port", package}, 4,
            "/dev/vkt-no-such-port: Porta não encontrada ou não pôde ser aberta; nothing was sent");
    refused("no adapter of that serial", Options(), {"--yes", "--port", "usb:VKT-NONE", package}, 4,
            "usb:VKT-NONE: no port with USB serial VKT-NONE; nothing was sent");
    refused("one port twice", one, {"--yes", "--port", "%1", package}, 2, "%1 and %1 are the same port");
    refused("no port", Options(), {"--yes", package}, 2, "name a unit's port with --port NAME. See --help.");
    refused("check with a port", one, {"--check", package}, 2, "--check uses no port. See --help.");
    refused("no package", one, {"--yes"}, 2, "name one package. See --help.");
    refused("not a package's name", one, {"--yes", QFINDTESTDATA("help.txt")}, 3,
            QFINDTESTDATA("help.txt") + " is not a package: its name holds no .vkt");
    refused("reports file a folder", one, {"--yes", "--report", dir.path(), package}, 2,
            "cannot write the reports file " + dir.path());
    QTest::newRow("version") << one << QStringList{"--version"} << 0 << QString() << QStringList{"vkt-update 2.3"};
    QTest::newRow("help") << one << QStringList{"--help"} << 0 << QString()
                          << QString::fromUtf8(read_file(QFINDTESTDATA("help.txt")))
                                 .arg(VKT_UPDATE, qEnvironmentVariable("XDG_DATA_HOME"))
                                 .split('\n', Qt::SkipEmptyParts);
    refused("check of a damaged package", Options(), {"--check", dir.filePath("Damaged#1.vkt")}, 3,
            "the package was refused: Erro! Pacote vazio ou danificado");
    refused("unknown option", one, {"--yes", "--speed", package}, 2, "Unknown option 'speed'. See --help.");
    refused("a unit's serial empty", one, {"--yes", "--port", "%1=", package}, 2,
            "%1=: no serial number after =. See --help.");
    refused("one serial for two units", one, {"--yes", "--port", "a=SN1", "--port", "b=SN1", package}, 2,
            "serial number SN1 given to two units");
    refused("no terminal, no --yes", one, {package}, 2,
            "no terminal to ask for consent; give --yes to start without asking; nothing was sent");
    const QByteArray grid = package_builder::converted_firmware('A', 3);
    checked("checked: sound", grid, package_builder::converted_firmware('F', 2), 0,
            {"signature: none", "GRID_1.s: board A, 7 lines, 62 bytes: OK", "EVENT_1.s: board F, 6 lines, 45 bytes: OK",
             "P#0.vkt: 2 files, 0 with problems"});
    checked("checked: a line too many, the last without its CR; a file of one line", grid + "S1", "S\x1f", 3,
            {"signature: none",
             "GRID_1.s: board A, 8 lines, 64 bytes: line 3: expected line count \"04\" for 4 data lines, found "
             "\"03\"; line 4: expected size \"042\" for 53 data bytes, found \"040\"; line 8: expected CR at the "
             "end, found \"1\"",
             "EVENT_1.s: board none, 1 lines, 2 bytes: header: expected 4 lines, found 1; line 1: expected CR at the "
             "end, found \"\\x1f\"",
             "P#3.vkt: 2 files, 2 with problems"});
}

// What a script reads of each ending: the status, the lines shown and the unit's record. Whatever is refused before the
// start sends nothing and leaves nothing behind.
void tst_vkt_update::endings()
{
    QFETCH(Options, units);
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, end_class);
    QFETCH(QStringList, shown);
    QFile::remove(reports);
    Line line(units);
    const QString database = dir.filePath("history.db");
    QFile::remove(database);
    const QString port = units.isEmpty() ? QString() : line.units.front()->port_path();
    line.start(line.ports() + QStringList{"--report", reports, "--history-db", database} +
               (args.isEmpty() ? QStringList{"--yes", package} : args.replaceInStrings("%1", port)));
    QCOMPARE(line.finish(), code);

    const bool refusal = end_class.isEmpty() && args.contains("--json");
    QStringList lines = (line.out.isEmpty() || refusal ? line.err : line.out).split('\n', Qt::SkipEmptyParts);
    for (QString& text : lines)
        text.remove(QRegularExpression(R"(^\d\d:\d\d:\d\d )"));
    QCOMPARE(lines, shown.replaceInStrings("%1", port));
    if (refusal) {
        // The port is the one the refusal names, as the command line named it.
        QString named;
        const QStringList given = line.process.arguments();
        for (int i = 1; i < given.size(); ++i)
            named = given[i - 1] == "--port" && lines[0].contains(given[i]) ? given[i].section('=', 0, 0) : named;
        const QJsonObject event = json_lines(line.out).value(0);
        QCOMPARE(json_lines(line.out).size(), 1);
        QCOMPARE(event.value("event").toString(), QString("refused"));
        QCOMPARE(event.value("exit_code").toInt() + event.value("files").toInt(-1), code); // no file before the start
        QCOMPARE(event.value("port").toString(), named);
        QVERIFY2(lines[0].contains(event.value("text").toString()), qPrintable(line.out));
    }
    QCOMPARE(unpacked_left(), QStringList());
    const QMap<QString, QJsonObject> records = records_in(reports);
    QCOMPARE(records.keys(), end_class.isEmpty() ? QStringList() : QStringList{port});
    QCOMPARE(line.sent() > 0, !end_class.isEmpty());
    const QJsonObject record = records.value(port);
    QCOMPARE(record.value("end_class").toString(), end_class);
    QCOMPARE(record.value("exit_code").toInt(-1), end_class.isEmpty() ? -1 : code);
    QCOMPARE(record.value("package_sha256").toString(),
             end_class.isEmpty() ? QString()
                                 : QCryptographicHash::hash(read_file(package), QCryptographicHash::Sha256).toHex());
    // The history's row, its one file ended as the run did; none for what was refused.
    QCOMPARE(QFile::exists(database)
                 ? sqlite3(database, "SELECT end_class || ' ' || json_extract(file_results, '$[0].end') FROM units")
                 : QString(),
             end_class.isEmpty() ? QString() : end_class + ' ' + end_class);
}

// The others are updated whatever one unit does, their lines never held up by its waits; the JSON stream and the
// records say which unit ended how, and a unit silent for seconds is told as such while the run waits for it.
void tst_vkt_update::four_units_two_failing()
{
    QFile::remove(reports);
    Line line({Sim::Options(), faulty(&Sim::Options::silent_file), Sim::Options(), faulty(&Sim::Options::fail_file)});
    line.start(line.ports() + QStringList{"--yes", "--json", "--report", reports, package},
               "confirm_pause_ms=20,reply_ms=6500");
    QCOMPARE(line.finish(), 6);

    const struct {
        QStringList events; // each kind once in a row
        const char* end_class;
        int code;
        QByteArray last_sent;
    } expected[] = {
        {{"started", "stage", "end"}, "success", 0, "#B_END"},
        {{"started", "silent", "stage", "end"}, "timeout", 6, "#B_STR"},
        {{"started", "stage", "end"}, "success", 0, "#B_END"},
        {{"started", "stage", "end"}, "device_failure", 5, "#B_STR"},
    };
    QMap<QString, QStringList> events;
    QMap<QString, QJsonObject> last_event;
    for (const QJsonObject& event : json_lines(line.out)) {
        for (const char* field : {"port", "time", "event", "text", "progress", "file", "files"})
            QVERIFY2(event.contains(field), qPrintable(QJsonDocument(event).toJson()));
        QCOMPARE(event.value("device"), event.value("port")); // a path, named as it is
        QVERIFY(QDateTime::fromString(event.value("time").toString(), Qt::ISODateWithMs).isValid());
        const QString kind = event.value("event").toString();
        QStringList& seen = events[event.value("port").toString()];
        if (seen.value(seen.size() - 1) != kind)
            seen << kind;
        if (kind == "silent")
            QVERIFY(QRegularExpression("^sem resposta há [56] s$").match(event.value("text").toString()).hasMatch());
        last_event[event.value("port").toString()] = event;
    }
    const QMap<QString, QJsonObject> records = records_in(reports);
    QCOMPARE(records.size(), 4);
    for (int i = 0; i < 4; ++i) {
        const QString port = line.units[i]->port_path();
        QCOMPARE(events.value(port), expected[i].events);
        QCOMPARE(last_event.value(port).value("exit_code").toInt(-1), expected[i].code);
        QCOMPARE(last_event.value(port).value("service_log"), records.value(port).value("service_log"));
        QCOMPARE(line.units[i]->tokens().last(), expected[i].last_sent);
        QCOMPARE(records.value(port).value("end_class").toString(), expected[i].end_class);
        QCOMPARE(records.value(port).value("files").toArray().size(), 1);
        QVERIFY(QFileInfo(records.value(port).value("service_log").toString()).isFile());
        QVERIFY2(longest_line_gap_ms(*line.units[i]) < 100, qPrintable(port));
    }
    QVERIFY2(line.err.endsWith("2 atualizados, 2 com falha\n  " + line.units[1]->port_path() +
                               ": TimeOut (timeout, código 6)\n  " + line.units[3]->port_path() +
                               ": Erro de Checksum! (device_failure, código 5)\n"),
             qPrintable(line.err));
}

// Ctrl+C mid-transfer: nothing more goes out on any unit, the lines are back at their base rate and the unpacked files
// are gone before the summary.
void tst_vkt_update::interrupted_mid_run()
{
    QFile::remove(reports);
    Sim::Options uart;
    uart.link = Sim::Link::uart;
    Line line({uart, uart});
    connect(line.units[1].get(), &Sim::got, [&](const Sim::Received& r) {
        if (r.line == 30)
            ::kill(static_cast<pid_t>(line.process.processId()), SIGINT);
    });
    line.start(line.ports() + QStringList{"--yes", "--report", reports, dir.filePath("Slow#1.vkt")});
    QCOMPARE(line.finish(), 9);
    const int sent = line.sent();
    run_for(300);
    QCOMPARE(line.sent(), sent);
    for (const auto& unit : line.units) {
        QCOMPARE(unit->line_baud(), 19200);
        QVERIFY(unit->lines_of(0).size() < 40);
    }
    QCOMPARE(unpacked_left(), QStringList());
    for (const QJsonObject& record : records_in(reports))
        QVERIFY(read_file(record.value("service_log").toString()).contains(" outcome stopped: SIGINT\n"));
    QVERIFY2(line.out.endsWith("0 atualizados, 2 interrompidos\n  " + line.units[0]->port_path() +
                               ": Atualização interrompida (SIGINT) (stopped, código 9)\n  " +
                               line.units[1]->port_path() +
                               ": Atualização interrompida (SIGINT) (stopped, código 9)\n"),
             qPrintable(line.out));
}

// A unit's device named through a link while another program drives it: the device is busy, whatever its name.
void tst_vkt_update::one_device_one_opener()
{
    Line line(Options{Sim::Options()});
    const QString link = dir.filePath("unit-link");
    QVERIFY(QFile::link(line.units.front()->port_path(), link));
    Serial window;
    window.open_port(line.units.front()->port_path());
    QVERIFY(window.is_open());
    line.start({"--yes", "--report", reports, "--port", link, package});
    QCOMPARE(line.finish(), 4);
    QCOMPARE(line.err,
             "vkt-update: " + link + ": Outro dispositivo já está conectado a esta porta COM; nothing was sent\n");
    QCOMPARE(line.sent(), 0);
    QVERIFY(QFile::remove(link));
}

// A unit updated whose record could not be written is no plain success: a line must trace every unit.
void tst_vkt_update::record_lost_is_told()
{
    Line line({Sim::Options(), Sim::Options()});
    connect(line.units[1].get(), &Sim::got, [&](const Sim::Received& r) {
        if (r.line == 30) {
            QFile::remove(reports);
            QDir().mkdir(reports);
        }
    });
    line.start(line.ports() + QStringList{"--yes", "--json", "--report", reports, package});
    QCOMPARE(line.finish(), 10);
    QVERIFY(QDir().rmdir(reports));
    QStringList lost;
    for (const QJsonObject& event : json_lines(line.out)) {
        if (event.value("event") == "record_lost" && !event.value("text").toString().isEmpty() &&
            event.value("reports_file") == reports && event.value("exit_code").toInt(-1) == -1)
            lost << event.value("port").toString();
    }
    QStringList ports{line.units[0]->port_path(), line.units[1]->port_path()};
    lost.sort();
    ports.sort();
    QCOMPARE(lost, ports);
    for (const auto& unit : line.units)
        QVERIFY2(line.err.contains("vkt-update: the record of " + unit->port_path() + " was not written to " + reports),
                 qPrintable(line.err));
}

// Killed mid-transfer, it cannot remove the unpacked files; the next start of the command does.
void tst_vkt_update::killed_leaves_nothing_at_the_next_start()
{
    Line line({Sim::Options()});
    connect(line.units[0].get(), &Sim::got, [&](const Sim::Received& r) {
        if (r.line == 30)
            ::kill(static_cast<pid_t>(line.process.processId()), SIGKILL);
    });
    line.start(line.ports() + QStringList{"--yes", "--report", reports, dir.filePath("Slow#1.vkt")});
    QCOMPARE(line.finish(), -1);
    QCOMPARE(unpacked_left(), QStringList{"Slow#1"});
    line.start({"--version"});
    QCOMPARE(line.finish(), 0);
    QCOMPARE(unpacked_left(), QStringList());
}

// A package whose name is not text in the system's encoding is there all the same: it is not said to be missing.
void tst_vkt_update::name_not_in_the_encoding()
{
    const QByteArray name = QFile::encodeName(dir.path()) + "/Old\xe7\xe3o#1.vkt";
    QVERIFY(::link(QFile::encodeName(package).constData(), name.constData()) == 0);
    QProcess shell;
    shell.start("/bin/sh", {"-c", R"sh(exec "$0" --yes --port /dev/null "$(printf '%s/Old\347\343o#1.vkt' "$1")")sh",
                            VKT_UPDATE, dir.path()});
    QVERIFY(shell.waitForFinished(10000));
    ::unlink(name.constData());
    QCOMPARE(shell.exitCode(), 3);
    QVERIFY2(shell.readAllStandardError().contains("exists, but its name is not text in this system's encoding"),
             qPrintable(shell.readAllStandardError()));
}

void tst_vkt_update::on_a_terminal_data()
{
    QTest::addColumn<QByteArray>("answer"); // typed; empty: Ctrl+C instead, "hang up": the unit's line drops
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("last_file");  // after a first file of 1390 records
    QTest::addColumn<QString>("least_left"); // or, when nothing may be sent, why; %1 the port
    QTest::newRow("no, as Enter alone says, whatever follows") << QByteArray("\nSIM\n") << 9 << "EVENT_2.s"
                                                               << "not started";
    QTest::newRow("Ctrl+C instead of an answer") << QByteArray() << 9 << "EVENT_2.s"
                                                 << "stopped by SIGINT before the start";
    QTest::newRow("the unit gone before the answer") << QByteArray("hang up") << 8 << "EVENT_2.s"
                                                     << "%1: Comunicação interrompida!";
    // 1401 lines at the UART's 25 ms, the pauses after both files and the event board's restart: 60.025 s at least.
    QTest::newRow("yes") << QByteArray("SIM\n") << 6 << "EVENT_2.s"
                         << "1:00";
    QTest::newRow("yes, no event board") << QByteArray("s\n") << 6 << "GRID_2.s"
                                         << "0:49";
}

// On a terminal the operator is asked, and an answer other than yes sends nothing. Then each unit's line is drawn again
// in place, no wider than the terminal: its stage, progress and, once the link is known, the least time left.
void tst_vkt_update::on_a_terminal()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, code);
    QFETCH(QString, last_file);
    QFETCH(QString, least_left);
    QTemporaryDir folder;
    const QString estimated = folder.filePath("Linha_X#2.vkt");
    QVERIFY(package_builder::write_package(estimated, {{"MAIN_1.s", package_builder::converted_firmware('C', 1390)},
                                                       {last_file, package_builder::converted_firmware('F', 3)}}));
    Sim::Options scripted;
    scripted.automatic = false;
    Line line(Options{scripted});
    // A unit that announces its link and never asks for the data: the run ends when the guard runs out.
    Sim& unit = *line.units.front();
    connect(&unit, &Sim::got, [&unit] { unit.send("#B_UAR"); });
    const QString head = unit.port_path() + " (1 / 2)   ";
    const QString announced = head + "Bootloader Iniciado" + QString(16, ' ') + "1 %  ≥ " + least_left;
    winsize size{};
    size.ws_col = static_cast<unsigned short>(announced.size() + 2);
    int master = -1, slave = -1;
    QVERIFY(::openpty(&master, &slave, nullptr, nullptr, &size) == 0);
    termios mode{};
    ::tcgetattr(slave, &mode);
    ::cfmakeraw(&mode);
    ::tcsetattr(slave, TCSANOW, &mode);
    ::fcntl(master, F_SETFL, O_NONBLOCK);
    line.process.setStandardInputFile(QString::fromLocal8Bit(::ttyname(slave)));
    line.process.setStandardOutputFile(QString::fromLocal8Bit(::ttyname(slave)));
    line.start(line.ports() + QStringList{"--report", reports, estimated},
               "confirm_pause_ms=7000,event_port_pause_ms=11000,baud_guard_ms=700");
    QByteArray asked, screen;
    const auto read_screen = [&] {
        char block[4096];
        for (ssize_t got; (got = ::read(master, block, sizeof block)) > 0;)
            screen.append(block, static_cast<int>(got));
        return line.process.state() == QProcess::NotRunning;
    };
    QVERIFY(
        run_until([&] { return (asked += line.process.readAllStandardError()).contains("[s/N] "); }, run_timeout_ms));
    if (answer.isEmpty())
        ::kill(static_cast<pid_t>(line.process.processId()), SIGINT);
    else if (answer == "hang up")
        unit.hang_up();
    else
        QCOMPARE(::write(master, answer.constData(), answer.size()), answer.size());
    QVERIFY(run_until(read_screen, run_timeout_ms));
    read_screen();
    ::close(slave);
    ::close(master);
    QCOMPARE(line.process.exitCode(), code);
    QCOMPARE(unpacked_left(), QStringList());
    QCOMPARE(
        QString::fromUtf8(asked + line.process.readAllStandardError()),
        "Equipamento: Linha X\n- Não desligue o equipamento durante a atualização!\n- Não interrompa a "
        "comunicação!\n- Certifique-se que o cartão SD está conectado (Se Houver)\nIniciar a atualização de "
        "Linha_X#2.vkt em 1 unidade? [s/N] " +
            (code >= 8 ? "vkt-update: " + least_left.replace("%1", unit.port_path()) + "; nothing was sent\n" : ""));
    if (code >= 8) {
        QCOMPARE(line.sent() + screen.size(), 0);
        return;
    }
    // Every redraw climbs back to the first unit's line.
    const auto frame = [](const QString& text) { return "\r\x1b[2K" + text + '\n'; };
    const QString ended = frame(head + "FALHA Dispositivo Incompatível!");
    QStringList frames = QString::fromUtf8(screen).split("\x1b[1A");
    QCOMPARE(frames.takeFirst(), "≥: tempo mínimo (envio e pausas do protocolo; sem a gravação do equipamento)\n" +
                                     frame(head + QString(35, ' ') + "0 %"));
    QCOMPARE(frames.takeLast(), ended + "0 atualizados, 1 com falha\n  " + unit.port_path() +
                                    ": Dispositivo Incompatível! (timeout, código 6)\n");
    QVERIFY2(frames.contains(frame(announced)), qPrintable(frames.join('|')));
    frames.removeAll(frame(announced));
    frames.removeAll(ended);
    QCOMPARE(frames, QStringList());
}

void tst_vkt_update::killed_mid_run_data()
{
    QTest::addColumn<bool>("window"); // the program started next: the window, or vkt-update
    QTest::newRow("then the window starts") << true;
    QTest::newRow("then vkt-update starts") << false;
}

// kill -9 of the line between two lines of four units' second file, as a power cut would leave it: every unit is on
// record, open, its first file done; the next start of either program closes all four as interrupted.
void tst_vkt_update::killed_mid_run()
{
    QFETCH(bool, window);
    QTemporaryDir folder;
    const QString two_files = folder.filePath("Linha_X#3.vkt");
    QVERIFY(package_builder::write_package(two_files, {{"MAIN_1.s", package_builder::converted_firmware('C', 60)},
                                                       {"GRID_1.s", package_builder::converted_firmware('A', 300)}}));
    Line line({Sim::Options(), Sim::Options(), Sim::Options(), Sim::Options()});
    line.database = folder.filePath("history.db");
    connect(line.units[0].get(), &Sim::got, [&line](const Sim::Received& r) {
        if (r.file == 1 && r.line == 150)
            ::kill(static_cast<pid_t>(line.process.processId()), SIGKILL);
    });
    line.start(line.ports() + QStringList{"--yes", "--report", folder.filePath("reports.jsonl"), two_files});
    QCOMPARE(line.finish(), -1);
    const QString files = "SELECT group_concat(ifnull(end_class, 'open') || ' ' || json_extract(file_results, "
                          "'$[0].end') || ' ' || json_extract(file_results, '$[1].end'), ', ') FROM units";
    QCOMPARE(sqlite3(line.database, files), QString("open success sending, ").repeated(4).chopped(2));

    QProcess next;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("VKT_HISTORY_DB", line.database);
    next.setProcessEnvironment(environment);
    next.start(window ? VKT_UPDATE_TOOL : VKT_UPDATE, window ? QStringList() : QStringList{"--history", "--json"});
    const bool closed = run_until([&] { return sqlite3(line.database, "SELECT count(ended) FROM units") == "4"; }, 10000);
    QVERIFY2(closed, qPrintable(QString::number(next.exitCode()) + ' ' + next.readAllStandardError()));
    next.kill();
    next.waitForFinished();
    QCOMPARE(sqlite3(line.database, files), QString("interrupted success interrupted, ").repeated(4).chopped(2));
    QCOMPARE(sqlite3(line.database, "SELECT DISTINCT end_text || '|' || (exit_code IS NULL) FROM units"),
             "interrupted: the program ended|1");
}

// Four lines of sixteen units each, all at once on one database: every row present and closed, no lock told.
void tst_vkt_update::four_lines_of_sixteen_units()
{
    QTemporaryDir folder;
    std::vector<std::unique_ptr<Line>> lines;
    for (int i = 0; i < 4; ++i) {
        lines.push_back(std::make_unique<Line>(QVector<Sim::Options>(16).toList()));
        lines.back()->database = folder.filePath("history.db");
        lines.back()->start(lines.back()->ports() +
                            QStringList{"--yes", "--report", folder.filePath("reports.jsonl"), package});
    }
    for (const auto& line : lines) {
        QCOMPARE(line->finish(), 0);
        QVERIFY2(!line->err.contains("history"), qPrintable(line->err));
    }
    QCOMPARE(sqlite3(folder.filePath("history.db"),
                     "SELECT count(*), count(DISTINCT port), sum(end_class = 'success' AND ended IS NOT NULL AND "
                     "json_extract(file_results, '$[0].end') = 'success') FROM units"),
             "64|64|64");
}

void tst_vkt_update::history_queries_data()
{
    QTest::addColumn<QStringList>("filters");
    QTest::addColumn<QString>("ids"); // or, for a refused filter, what is said
    QTest::newRow("every row, oldest first") << QStringList() << "1 2 3 4";
    QTest::newRow("since a day") << QStringList{"--since", "2024-05-02"} << "2 3 4";
    QTest::newRow("until a day, all of it") << QStringList{"--until", "2024-05-02"} << "1 2";
    QTest::newRow("until a minute") << QStringList{"--until", "2024-05-03T09:00"} << "1 2 3";
    QTest::newRow("an end class") << QStringList{"--end-class", "device_failure"} << "2";
    QTest::newRow("interrupted") << QStringList{"--end-class", "interrupted"} << "3";
    QTest::newRow("still running") << QStringList{"--end-class", "running"} << "4";
    QTest::newRow("a port, as it ended or as named") << QStringList{"--port", "ttyUSB0"} << "1 3";
    QTest::newRow("an adapter, letter case aside") << QStringList{"--adapter-serial", "a12345"} << "1 2";
    QTest::newRow("a unit") << QStringList{"--unit-serial", "SN2"} << "2";
    QTest::newRow("a package's SHA-256") << QStringList{"--package", QString(64, 'B')} << "3 4";
    QTest::newRow("a package's name") << QStringList{"--package", "Linha_X#1.vkt"} << "1 2";
    QTest::newRow("what failed on an adapter")
        << QStringList{"--adapter-serial", "A12345", "--end-class", "device_failure", "--since", "2024-05-01"} << "2";
    QTest::newRow("no such class") << QStringList{"--end-class", "failed"}
                                   << "vkt-update: no end class failed. See --help.";
    QTest::newRow("no date") << QStringList{"--since", "last week"}
                             << "vkt-update: last week is not a date. See --help.";
}

// Each filter finds exactly its rows, in the database as another program wrote it; a filter that cannot be read is
// refused. The CSV is RFC 4180 and the table readable.
void tst_vkt_update::history_queries()
{
    QFETCH(QStringList, filters);
    QFETCH(QString, ids);
    QTemporaryDir folder;
    Line line{Options()};
    line.database = folder.filePath("history.db");
    line.start({"--history"});
    QCOMPARE(line.finish(), 0);
    const struct {
        const char *started, *end_class, *port, *adapter, *unit, *package, *text;
        char sha;
    } rows[] = {
        {"2024-05-01T09:00:00.000-03:00", "success", "ttyUSB0", "A12345", "SN1", "Linha_X#1.vkt", "Sucesso", 'a'},
        {"2024-05-02T09:00:00.000-03:00", "device_failure", "ttyUSB1", "A12345", "SN2", "Linha_X#1.vkt",
         "Erro de \"Checksum\", linha 3", 'a'},
        {"2024-05-03T09:00:00.000+00:00", "interrupted", "ttyUSB0", "B777", nullptr, "Linha_Y#2.vkt", "cut", 'b'},
        {"2024-05-03T12:00:00.000+00:00", nullptr, "ttyUSB2", "B777", "SN4", "Linha_Y#2.vkt", nullptr, 'b'},
    };
    const auto quoted = [](const char* text) { return text ? QString("'%1'").arg(text) : QString("NULL"); };
    for (const auto& row : rows) {
        const qint64 ms = QDateTime::fromString(row.started, Qt::ISODateWithMs).toMSecsSinceEpoch();
        QCOMPARE(
            sqlite3(line.database,
                    QString("INSERT INTO units (started, started_ms, ended, end_class, port, "
                            "usb_serial, unit_serial, package_path, end_text, package_sha256, "
                            "host, files, file_results, ended_ms, package_name) VALUES (%1, %2, %3, %4, '%5', "
                            "'bench-7', '[]', '[]', iif(%3 IS NULL, NULL, %2), %6)")
                        .arg(quoted(row.started), QString::number(ms), row.end_class ? quoted(row.started) : "NULL",
                             QStringList{quoted(row.end_class), quoted(row.port), quoted(row.adapter), quoted(row.unit),
                                         quoted(row.package), quoted(row.text)}
                                 .join(", "),
                             QString(64, row.sha), quoted(row.package))),
            QString());
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TZ", "UTC");
    line.process.setProcessEnvironment(environment);
    line.process.start(VKT_UPDATE, QStringList{"--history", "--json", "--history-db", line.database} + filters);
    const int code = line.finish();
    QStringList found;
    for (const QJsonObject& row : json_lines(line.out))
        found << QString::number(row.value("id").toInt());
    QCOMPARE(code == 0 ? found.join(' ') : line.err.trimmed(), ids);
    if (filters != QStringList{"--unit-serial", "SN2"})
        return;
    line.process.start(VKT_UPDATE, QStringList{"--history", "--csv", "--history-db", line.database} + filters);
    QCOMPARE(line.finish(), 0);
    QCOMPARE(line.out, "id,started,ended,end_class,end_text,exit_code,host,os_user,program_version,port,"
                       "adapter_identity,usb_serial,usb_vid_pid,usb_description,unit_serial,package_path,"
                       "package_sha256,files,file_results,service_log,hook\r\n"
                       "2,2024-05-02T09:00:00.000-03:00,2024-05-02T09:00:00.000-03:00,device_failure,\"Erro de "
                       "\"\"Checksum\"\", linha 3\",,bench-7,"
                       ",,ttyUSB1,,A12345,,,SN2,Linha_X#1.vkt," +
                           QString(64, 'a') + ",[],[],,\r\n");
    line.process.start(VKT_UPDATE, QStringList{"--history", "--history-db", line.database, "--end-class", "running"});
    QCOMPARE(line.finish(), 0);
    QCOMPARE(line.out, "started              end      port     adapter  unit  package        text\n"
                       "2024-05-03 12:00:00  running  ttyUSB2  B777     SN4   Linha_Y#2.vkt\n");
}

// A unit the history holds a success of with this package is warned of before it starts, and updated all the same; a
// unit without a serial of its own is never taken for another (the adapter may be the bench's cable).
void tst_vkt_update::seen_before()
{
    QTemporaryDir folder;
    Line first{Options{Sim::Options()}};
    first.database = folder.filePath("history.db");
    first.start({"--yes", "--port", first.units[0]->port_path() + "=SN1", package});
    QCOMPARE(first.finish(), 0);
    Line again{Options{Sim::Options(), Sim::Options(), Sim::Options()}};
    again.database = first.database;
    const QStringList ports{again.units[0]->port_path(), again.units[1]->port_path(), again.units[2]->port_path()};
    again.start(
        {"--yes", "--json", "--port", ports[0] + "=SN1", "--port", ports[1] + "=SN2", "--port", ports[2], package});
    QCOMPARE(again.finish(), 0);
    const QRegularExpression warning("vkt-update: warning: unit SN1 was already updated with this package on "
                                     "\\d{4}-.*\\d\\d:\\d\\d \\(port " +
                                     QRegularExpression::escape(first.units[0]->port_path()) +
                                     ", host .*\\); it is updated again\n");
    QCOMPARE(again.err.count(warning), 1);
    QStringList warned;
    for (const QJsonObject& event : json_lines(again.out)) {
        if (event.value("event") == "seen_before")
            warned << event.value("port").toString() + " " + event.value("text").toString();
    }
    QCOMPARE(warned.size(), 1);
    QVERIFY(warning.match("vkt-update: " + warned.value(0).section(' ', 1) + "\n").hasMatch() &&
            warned.value(0).startsWith(ports[0] + " "));
    QCOMPARE(sqlite3(first.database, "SELECT group_concat(ifnull(unit_serial, '-') || ' ' || end_class, ', ') FROM "
                                     "units"),
             "SN1 success, SN1 success, SN2 success, - success");
}

void tst_vkt_update::after_each_unit_data()
{
    QTest::addColumn<QString>("command"); // %1 the test's folder
    QTest::addColumn<QString>("result");  // as the row keeps it
    QTest::addColumn<QString>("told");    // on stderr, %1 the port
    QTest::addColumn<QString>("bound_ms");
    QTest::newRow("reads the record, no shell between")
        << "python3 -c \"import os, sys; open(sys.argv[1], 'w').write(' '.join(os.environ[v] for v in "
           "('VKT_UNIT_SERIAL', 'VKT_END_CLASS', 'VKT_EXIT_CODE', 'VKT_HISTORY_ID')) + ' ' + sys.stdin.read())\" "
           "\"%1/hook $HOME.txt\""
        << "ok" << QString() << "20000";
    QTest::newRow("fails") << "sh -c \"echo out of paper; exit 3\""
                           << "exit status 3"
                           << "vkt-update: the command after the unit on %1 failed: exit status 3; the unit's result "
                              "stands\n  out of paper\n"
                           << "20000";
    QTest::newRow("hangs past its bound") << "sleep 20"
                                          << "killed after 0.5 s"
                                          << "vkt-update: the command after the unit on %1 failed: killed after 0.5 s; "
                                             "the unit's result stands\n"
                                          << "500";
    QTest::newRow("cannot start") << "%1/no-such-command"
                                  << "could not start: execve: No such file or directory"
                                  << "vkt-update: the command after the unit on %1 failed: could not start: execve: No "
                                     "such file or directory; the unit's result stands\n"
                                  << "20000";
}

// The command runs once the unit's row is closed, with the record on stdin and a few fields in its environment. Failed,
// hung or missing, it is told and kept in the row, and the unit's result and the exit status stand.
void tst_vkt_update::after_each_unit()
{
    QFETCH(QString, command);
    QFETCH(QString, result);
    QFETCH(QString, told);
    QFETCH(QString, bound_ms);
    QTemporaryDir folder;
    Line line{Options{Sim::Options()}};
    line.database = folder.filePath("history.db");
    line.hook_bound_ms = bound_ms;
    const QString port = line.units[0]->port_path();
    line.start({"--yes", "--port", port + "=SN7", "--on-unit-end", command.replace("%1", folder.path()), package});
    QCOMPARE(line.finish(), 0);
    const int at = line.err.indexOf("vkt-update: the command after");
    QCOMPARE(at < 0 ? QString() : line.err.mid(at), told.replace("%1", port));
    QCOMPARE(sqlite3(line.database, "SELECT end_class || ' ' || hook FROM units"), "success " + result);
    if (result != "ok")
        return;
    const QString heard = read_file(folder.filePath("hook $HOME.txt"));
    QVERIFY2(heard.startsWith("SN7 success 0 1 {"), qPrintable(heard));
    const QJsonObject record = QJsonDocument::fromJson(heard.section(' ', 4).toUtf8()).object();
    QCOMPARE(record.value("unit_serial").toString() + record.value("end_class").toString(), "SN7success");
    QCOMPARE(record.value("file_results").toArray().at(0).toObject().value("end").toString(), "success");
    // What the history gives back is what the command was given, its result added.
    line.process.start(VKT_UPDATE, {"--history", "--json"});
    QCOMPARE(line.finish(), 0);
    QJsonObject kept = json_lines(line.out).value(0);
    QCOMPARE(kept.take("hook").toString(), "ok");
    QCOMPARE(QJsonDocument(kept).toJson(), QJsonDocument(record).toJson());
}

// Keys made and packages signed here are accepted by the stock minisign, and the other way round. With a key installed
// a signed package updates a unit, the consent and the record naming the signer; a copy with one byte changed is
// refused before anything is sent.
void tst_vkt_update::signed_packages()
{
    QTemporaryDir work;
    const QByteArray config_before = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(work.filePath("config")));
    const QString keys = work.filePath("config/vkt_update_tool/trusted-keys"), key = work.filePath("k.key");
    const QString signed_package = work.filePath("Linha_Y#1.vkt"), tampered = work.filePath("Linha_Z#1.vkt");
    QString shown;
    QVERIFY(QFile::copy(package, signed_package) && QDir().mkpath(keys));
    QCOMPARE(command(VKT_UPDATE, {"--new-key", "--no-password", "--secret-key", key}, &shown), 0);
    const QString key_id = shown.mid(4, 16);
    QVERIFY2(shown.startsWith("key " + key_id + ": secret " + key), qPrintable(shown));
    // A key is never written over another, nor half into a folder that is not there.
    for (const QString& taken : {work.filePath("none/o.key"), work.filePath("k.pub")})
        QCOMPARE(command(VKT_UPDATE,
                         {"--new-key", "--no-password", "--secret-key", work.filePath("o.key"), "--public-key", taken}),
                 2);
    QCOMPARE(command(VKT_UPDATE, {"--new-key", "--no-password", "--secret-key", work.filePath("none/o.key")}), 2);
    QCOMPARE(command(VKT_UPDATE, {"--sign", signed_package, "--secret-key", key}, &shown), 0);
    const QString comment =
        "equipamento: Linha Y; arquivos (1): MAIN_1.s; assinado em " + QDate::currentDate().toString(Qt::ISODate);
    QCOMPARE(shown, signed_package + ".minisig: key " + key_id + ", trusted comment: " + comment + "\n");
    QCOMPARE(command("minisign", {"-Vm", signed_package, "-p", work.filePath("k.pub")}), 0);
    QByteArray bytes = read_file(signed_package);
    bytes[100] = char(bytes.at(100) ^ 1);
    QVERIFY(write_file(tampered, bytes) && QFile::copy(signed_package + ".minisig", tampered + ".minisig"));
    QVERIFY(QFile::copy(work.filePath("k.pub"), keys + "/k.pub"));
    const QStringList before = names_in(work.path());

    QFile::remove(reports);
    Line line({Sim::Options(), Sim::Options()});
    line.start(line.ports().mid(0, 2) + QStringList{"--yes", "--report", reports, signed_package});
    QCOMPARE(line.finish(), 0);
    QVERIFY2(line.err.startsWith("Equipamento: Linha Y\nAssinado (chave " + key_id + "): " + comment + "\n"),
             qPrintable(line.err));
    const QJsonObject record = records_in(reports).value(line.units.front()->port_path());
    QCOMPARE(record.value("signature").toString() + ' ' + record.value("signature_key").toString(),
             "verified " + key_id);
    const QString logged = QString::fromUtf8(read_file(record.value("service_log").toString()));
    QVERIFY2(logged.contains(" signature verified, key " + key_id + ": " + comment + "\n"), qPrintable(logged));

    line.start(line.ports().mid(2) + QStringList{"--yes", "--json", "--report", reports, tampered});
    QCOMPARE(line.finish(), 3);
    QCOMPARE(json_lines(line.out).value(0).value("reason").toString(), "bad_signature");
    QCOMPARE(line.err, "vkt-update: Erro! Assinatura inválida: pacote alterado; nothing was sent\n");
    QCOMPARE(line.units.back()->received().size(), 0);
    QCOMPARE(names_in(work.path()), before);

    // A key with a password, as the stock tool reads it: its signature is checked here in turn.
    const QString sealed = work.filePath("e.key"), stock_signed = work.filePath("Linha_W#1.vkt");
    QCOMPARE(command(VKT_UPDATE, {"--new-key", "--secret-key", sealed}, &shown, "s3nha\ns3nha\n"), 0);
    const QString sealed_id = shown.mid(shown.indexOf("key ") + 4, 16);
    QVERIFY2(shown.endsWith("\nSenha da nova chave: A mesma senha de novo: "), qPrintable(shown));
    QVERIFY(QFile::copy(package, stock_signed) && QFile::copy(work.filePath("e.pub"), keys + "/e.pub"));
    QCOMPARE(command("minisign", {"-S", "-s", sealed, "-m", stock_signed, "-t", "stock"}, nullptr, "s3nha\n"), 0);
    QCOMPARE(command(VKT_UPDATE, {"--check", stock_signed}, &shown), 0);
    QVERIFY2(shown.startsWith("signature: verified, key " + sealed_id + ": stock\n"), qPrintable(shown));
    qputenv("XDG_CONFIG_HOME", config_before);
}

QTEST_GUILESS_MAIN(tst_vkt_update)
#include "tst_vkt_update.moc"
