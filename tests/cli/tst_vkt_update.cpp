#include "equipment/equipment_simulator.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <pty.h>
#include <unistd.h>

using Sim = EquipmentSimulator;
using Options = QList<Sim::Options>;
Q_DECLARE_METATYPE(Sim::Options)

namespace
{

constexpr int run_timeout_ms = 30000;

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
    void start(const QStringList& args)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("VKT_UPDATE_TEST_WAITS", "confirm_pause_ms=20,event_port_pause_ms=50,reply_ms=300");
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
        int items = 0;
        for (const auto& unit : units)
            items += unit->received().size();
        return items;
    }
    std::vector<std::unique_ptr<Sim>> units;
    QProcess process;
    QString out, err;
};

QList<QJsonObject> json_lines(const QString& text)
{
    QList<QJsonObject> objects;
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts))
        objects << QJsonDocument::fromJson(line.toUtf8()).object();
    return objects;
}

Sim::Options failing(const QByteArray& token = "#B_CRC")
{
    Sim::Options options;
    options.fail_file = 0;
    options.fail_after_line = 10;
    options.fail_token = token;
    return options;
}

Sim::Options silent()
{
    Sim::Options options;
    options.silent_file = 0;
    return options;
}

Sim::Options hanging_up()
{
    Sim::Options options;
    options.hang_up_file = 0;
    options.hang_up_after_line = 10;
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
    void four_units_one_failing();
    void interrupted_mid_run();
    void consent_refused_on_a_terminal();
    void check_data();
    void check();

private:
    // Whatever an update unpacked beside the packages and left there.
    QStringList unpacked_left() const
    {
        QStringList names = names_in(dir.path());
        for (const char* ours : {"Damaged#1.vkt", "Linha_X#1.vkt", "Slow#1.vkt", "reports.jsonl"})
            names.removeAll(ours);
        return names;
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
    QTest::addColumn<QString>("last_text");
    QTest::addColumn<QString>("end_class"); // empty when nothing may be sent

    const QStringList yes{"--yes"};
    const Options one{Sim::Options()};
    QTest::newRow("updated") << one << yes << 0 << "Operação realizada com Sucesso!"
                             << "success";
    QTest::newRow("device failure") << Options{failing()} << yes << 5 << "Erro de Checksum!"
                                    << "device_failure";
    QTest::newRow("time-out") << Options{silent()} << yes << 6 << "TimeOut"
                              << "timeout";
    QTest::newRow("unexpected answer") << Options{failing("#B_XYZ")} << yes << 7
                                       << "Resposta inesperada do equipamento!"
                                       << "unexpected_answer";
    QTest::newRow("link lost") << Options{hanging_up()} << yes << 8 << "Comunicação interrompida!"
                               << "link_lost";
    QTest::newRow("first unit in --port order decides")
        << Options{hanging_up(), failing()} << yes << 8 << "Comunicação interrompida!"
        << "link_lost";
    QTest::newRow("package refused") << one << QStringList{"--yes", dir.filePath("Damaged#1.vkt")} << 3
                                     << "Erro! Pacote vazio ou danificado"
                                     << "";
    QTest::newRow("missing package") << one << QStringList{"--yes", dir.filePath("None#1.vkt")} << 3 << "no package"
                                     << "";
    QTest::newRow("missing port") << one << QStringList{"--yes", "--port", "/dev/vkt-no-such-port"} << 4
                                  << "/dev/vkt-no-such-port: "
                                  << "";
    QTest::newRow("unknown option") << one << QStringList{"--yes", "--speed"} << 2 << "Unknown option"
                                    << "";
    QTest::newRow("no terminal, no --yes") << one << QStringList{} << 2 << "--yes"
                                           << "";
}

// What a script reads of each ending: the status, the last text and the unit's record. Whatever is refused before
// the start sends nothing and leaves nothing behind.
void tst_vkt_update::endings()
{
    QFETCH(Options, units);
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, last_text);
    QFETCH(QString, end_class);
    QFile::remove(reports);
    Line line(units);
    if (args.size() < 2 || !args.last().endsWith(".vkt"))
        args << package;
    line.start(line.ports() + QStringList{"--report", reports} + args);
    QCOMPARE(line.finish(), code);

    const QString port = line.units.front()->port_path();
    QStringList shown = line.err.split('\n', Qt::SkipEmptyParts);
    if (!end_class.isEmpty())
        shown = line.out.split('\n').filter(port + " (1 / 1) fim: ");
    QVERIFY2(!shown.isEmpty() && shown.last().contains(last_text), qPrintable(line.out + line.err));
    QCOMPARE(unpacked_left(), QStringList());
    QCOMPARE(QFile::exists(reports), !end_class.isEmpty());
    if (end_class.isEmpty()) {
        QCOMPARE(shown.size(), 1);
        QCOMPARE(line.sent(), 0);
        return;
    }
    QFile file(reports);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QJsonObject> records = json_lines(QString::fromUtf8(file.readAll()));
    QCOMPARE(records.size(), units.size());
    const auto record = std::find_if(records.begin(), records.end(),
                                     [&](const QJsonObject& r) { return r.value("port").toString() == port; });
    QVERIFY(record != records.end());
    QCOMPARE(record->value("end_class").toString(), end_class);
    QCOMPARE(record->value("exit_code").toInt(), code);
}

// The others are updated whatever one unit does; the JSON stream and the records say which unit ended how.
void tst_vkt_update::four_units_one_failing()
{
    QFile::remove(reports);
    Line line({Sim::Options(), Sim::Options(), failing(), Sim::Options()});
    line.start(line.ports() + QStringList{"--yes", "--json", "--report", reports, package});
    QCOMPARE(line.finish(), 5);

    QMap<QString, QJsonObject> ends;
    for (const QString& text : line.out.split('\n', Qt::SkipEmptyParts)) {
        const QJsonObject event = QJsonDocument::fromJson(text.toUtf8()).object();
        QVERIFY2(!event.isEmpty(), qPrintable(text));
        for (const char* field : {"port", "time", "event", "text", "progress", "file", "files"})
            QVERIFY2(event.contains(field), qPrintable(text));
        QVERIFY(QDateTime::fromString(event.value("time").toString(), Qt::ISODateWithMs).isValid());
        if (event.value("event") == "end") {
            QVERIFY2(!ends.contains(event.value("port").toString()), qPrintable(text));
            ends.insert(event.value("port").toString(), event);
        }
    }
    QFile file(reports);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QJsonObject> records = json_lines(QString::fromUtf8(file.readAll()));
    QCOMPARE(records.size(), 4);
    for (int i = 0; i < 4; ++i) {
        const QString port = line.units[i]->port_path();
        const QString end_class = i == 2 ? "device_failure" : "success";
        QCOMPARE(ends.value(port).value("end_class").toString(), end_class);
        QCOMPARE(ends.value(port).value("exit_code").toInt(), i == 2 ? 5 : 0);
        QCOMPARE(line.units[i]->tokens().last(), QByteArray(i == 2 ? "#B_STR" : "#B_END"));
        const int at = std::find_if(records.begin(), records.end(),
                                    [&](const QJsonObject& r) { return r.value("port").toString() == port; }) -
                       records.begin();
        QVERIFY(at < 4);
        QCOMPARE(records[at].value("end_class").toString(), end_class);
        QCOMPARE(records[at].value("files").toArray().size(), 1);
        QVERIFY(QFileInfo(records[at].value("service_log").toString()).isFile());
    }
    QVERIFY2(line.err.endsWith("3 atualizados, 1 com falha\n  " + line.units[2]->port_path() +
                               ": Erro de Checksum! (device_failure, código 5)\n"),
             qPrintable(line.err));
}

// Ctrl+C mid-transfer: nothing more goes out on any unit, the lines are back at their base rate and the unpacked
// files are gone before the summary.
void tst_vkt_update::interrupted_mid_run()
{
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
    QVERIFY2(line.out.endsWith("0 atualizados, 2 interrompidos\n  " + line.units[0]->port_path() +
                               ": Atualização interrompida (SIGINT) (stopped, código 9)\n  " +
                               line.units[1]->port_path() +
                               ": Atualização interrompida (SIGINT) (stopped, código 9)\n"),
             qPrintable(line.out));
}

// An operator who answers no at the terminal sends nothing.
void tst_vkt_update::consent_refused_on_a_terminal()
{
    int master = -1, slave = -1;
    QVERIFY(::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);
    Line line(Options{Sim::Options()});
    line.process.setStandardInputFile(QString::fromLocal8Bit(::ttyname(slave)));
    line.start(line.ports() + QStringList{package});
    QByteArray asked;
    QVERIFY(
        run_until([&] { return (asked += line.process.readAllStandardError()).contains("[s/N]"); }, run_timeout_ms));
    QCOMPARE(::write(master, "n\n", 2), 2);
    QCOMPARE(line.finish(), 9);
    ::close(slave);
    ::close(master);
    QCOMPARE(line.sent(), 0);
    QCOMPARE(unpacked_left(), QStringList());
}

void tst_vkt_update::check_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("shown");
    const QByteArray sound = package_builder::converted_firmware('A', 3);
    QTest::newRow("sound") << sound << 0 << "GRID_1.s: board A, 7 lines, 62 bytes: OK";
    QTest::newRow("a line too many, the last without its CR")
        << sound + "S1" << 3
        << "GRID_1.s: board A, 8 lines, 64 bytes: line 3: expected line count \"04\" for 4 data lines, found "
           "\"03\"; line 4: expected size \"042\" for 53 data bytes, found \"040\"; line 8: expected CR at the "
           "end, found \"1\"";
}

// The equipment's own check, without any equipment: one line per file, and the package's status.
void tst_vkt_update::check()
{
    QFETCH(QByteArray, file);
    QFETCH(int, code);
    QFETCH(QString, shown);
    QTemporaryDir folder;
    const QString checked = folder.filePath("P#1.vkt");
    QVERIFY(package_builder::write_package(
        checked, {{"MAIN_1.s", package_builder::converted_firmware('C', 2)}, {"GRID_1.s", file}}));
    Line line(Options{});
    line.start({"--check", checked});
    QCOMPARE(line.finish(), code);
    QCOMPARE(line.out.split('\n').at(1), shown);
    QCOMPARE(names_in(folder.path()), QStringList{"P#1.vkt"});
}

QTEST_GUILESS_MAIN(tst_vkt_update)
#include "tst_vkt_update.moc"
