#include "engine/update_engine.h"
#include "equipment/equipment_simulator.h"
#include "support/fake_port_catalog.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"

#include <QTemporaryDir>
#include <QtTest>

using Sim = EquipmentSimulator;
using package_builder::converted_firmware;
using End = bootloader_protocol::EndClass;

namespace
{

constexpr int run_timeout_ms = 30000;

// One unit: the equipment on a pseudo-terminal and the engine that updates it.
struct Unit {
    explicit Unit(const Sim::Options& options) : sim(options), engine(dir.path())
    {
        QObject::connect(&engine, &UpdateEngine::stage, [this](const UpdateEngine::Stage& s) {
            stages << s.text + s.counter + QStringLiteral(" @%1").arg(s.progress);
        });
        QObject::connect(&engine, &UpdateEngine::ended, [this](End how, const QString&) { ends << how; });
    }
    // The port open and a package of one file opened: the run waits for its start.
    bool open(const QByteArray& firmware)
    {
        const QString package = dir.filePath("P.vkt");
        if (!package_builder::write_package(package, {{"MAIN_1.s", firmware}}) ||
            (sim.port_path().isEmpty() && !sim.open_pty()))
            return false;
        engine.open_port(sim.port_path());
        return engine.is_open() && engine.open_package(package).accepted;
    }
    QTemporaryDir dir;
    Sim sim;
    UpdateEngine engine;
    QStringList stages;
    QList<End> ends;
};

} // namespace

class tst_update_engine : public QObject
{
    Q_OBJECT

private slots:
    void answers_however_the_line_cuts_them_data();
    void answers_however_the_line_cuts_them();
    void unit_found_again_data();
    void unit_found_again();
};

void tst_update_engine::answers_however_the_line_cuts_them_data()
{
    QTest::addColumn<int>("packet"); // the adapter's packet, on a UART link when negative; 0: each answer whole
    QTest::addColumn<QByteArrayList>("announced"); // written one by one after "#B_STR"; none: the automatic equipment
    QTest::addColumn<QByteArrayList>("confirmed"); // written one by one after the last line
    const QByteArrayList usb{"#B_USB", "#B_MAX"}, done{"#B_ENV#B_BOK"};
    QTest::newRow("announcement and data request together") << 0 << QByteArrayList{"#B_USB#B_MAX"} << done;
    QTest::newRow("progress, reprogramming, confirmation") << 0 << usb << QByteArrayList{"#B_PR\x5F#B_ENV#B_BOK"};
    QTest::newRow("reset and confirmation") << 0 << usb << QByteArrayList{"#B_RST#B_BOK"};
    QTest::newRow("a progress of 0 hides nothing behind it")
        << 0 << usb << QByteArrayList{QByteArray("#B_PR\0#B_ENV#B_BOK", 18)};
    QTest::newRow("confirmation cut behind a #") << 0 << usb << QByteArrayList{"#B_ENV#", "B_BOK"};
    QTest::newRow("two data requests in one read") << 0 << QByteArrayList{"#B_USB", "#B_MAX#B_MAX"} << done;
    QTest::newRow("byte by byte") << 1 << QByteArrayList() << QByteArrayList();
    QTest::newRow("packets of 4") << 4 << QByteArrayList() << QByteArrayList();
    QTest::newRow("packets of 7, a UART link") << -7 << QByteArrayList() << QByteArrayList();
}

// However the equipment's answers are cut on their way, each token counts once and nothing behind it is lost: every
// line of the file arrives once, in order, and the unit is updated.
void tst_update_engine::answers_however_the_line_cuts_them()
{
    QFETCH(int, packet);
    QFETCH(QByteArrayList, announced);
    QFETCH(QByteArrayList, confirmed);
    Sim::Options options;
    options.packet_bytes = std::abs(packet);
    options.link = packet < 0 ? Sim::Link::uart : Sim::Link::usb;
    options.automatic = confirmed.isEmpty();
    Unit unit(options);
    const QByteArray file = converted_firmware('C', 2);
    connect(&unit.sim, &Sim::got, [&](const Sim::Received& r) {
        const QByteArrayList& replies = r.bytes == "#B_STR" ? announced
                                        : r.line == 4 + 2   ? confirmed
                                                            : QByteArrayList();
        for (int i = 0; !options.automatic && i < replies.size(); ++i)
            QTimer::singleShot(50 * i, [&unit, reply = replies.at(i)] { unit.sim.send(reply); });
    });
    QVERIFY(unit.open(file));
    unit.engine.start();
    QVERIFY(run_until([&] { return !unit.ends.isEmpty() && unit.sim.tokens().size() == 2; }, run_timeout_ms));
    QCOMPARE(unit.ends, QList<End>{End::success});
    QByteArrayList lines;
    for (int from = 0, cr; (cr = file.indexOf('\r', from)) >= 0; from = cr + 1)
        lines << file.mid(from, cr + 1 - from);
    QCOMPARE(unit.sim.lines_of(0), lines);
}

void tst_update_engine::unit_found_again_data()
{
    QTest::addColumn<int>("adapters_back");
    QTest::addColumn<End>("end");
    QTest::newRow("back under another name") << 1 << End::success;
    QTest::newRow("two alike: not guessed") << 2 << End::link_lost;
    QTest::newRow("vanished for good") << 0 << End::link_lost;
    QTest::newRow("listed, but cannot be opened") << -1 << End::link_lost;
    QTest::newRow("another adapter at the old name") << -2 << End::link_lost;
}

// The unit resets and its adapter comes back under another name: the run goes on there when the adapter can be told
// apart, and otherwise opens no other port and ends when the bound is reached.
void tst_update_engine::unit_found_again()
{
    QFETCH(int, adapters_back);
    QFETCH(End, end);
    Sim::Options scripted;
    scripted.automatic = false;
    Unit unit{scripted};
    Sim elsewhere[2] = {Sim(scripted), Sim(scripted)};
    FakePortCatalog catalog;
    const auto adapter = [](const QString& path) {
        return PortIdentity{path, path, "FT232R USB UART", "FTDI", "A12345", 0x0403, 0x6001, QString()};
    };
    QVERIFY(unit.sim.open_pty() && elsewhere[0].open_pty() && elsewhere[1].open_pty());
    catalog.listed = {adapter(unit.sim.port_path())};
    unit.engine.set_port_catalog(catalog);
    bootloader_protocol::Waits waits;
    waits.link_retry_bound_ms = 300;
    waits.confirm_pause_ms = 0;
    unit.engine.set_waits(waits);
    connect(&unit.sim, &Sim::got, [&](const Sim::Received& r) {
        if (r.bytes == "#B_STR") {
            unit.sim.send("#B_USB");
            unit.sim.send("#B_MAX");
        } else if (r.line == 4 + 2) {
            unit.sim.send("#B_RST");
            QTimer::singleShot(20, [&] {
                catalog.listed.clear();
                if (adapters_back == -2) {
                    catalog.listed << adapter(unit.sim.port_path());
                    catalog.listed.back().serial_number = "B99999";
                    return;
                }
                unit.sim.hang_up();
                for (int i = 0; i < adapters_back; ++i)
                    catalog.listed << adapter(elsewhere[i].port_path());
                if (adapters_back < 0)
                    catalog.listed << adapter("/dev/vkt-gone");
                QTimer::singleShot(400, [&] { elsewhere[0].send("#B_BOK"); });
            });
        }
    });
    QVERIFY(unit.open(converted_firmware('C', 2)));
    QSignalSpy lost(&unit.engine, &UpdateEngine::port_lost);
    unit.engine.start();
    QVERIFY(run_until([&] { return !unit.ends.isEmpty(); }, run_timeout_ms));
    run_for(50);

    QCOMPARE(unit.ends, QList<End>{end});
    // A unit that did not come back is a lost line, for the window to disconnect.
    QCOMPARE(lost.count(), end == End::link_lost ? 1 : 0);
    QCOMPARE(elsewhere[0].tokens(), end == End::success ? QList<QByteArray>{"#B_END"} : QList<QByteArray>());
    QVERIFY(elsewhere[1].received().isEmpty());
    const QByteArray log = read_file(unit.engine.service_log_file());
    QVERIFY(log.contains(QStringLiteral("note port %1: %2")
                             .arg(unit.sim.port_path(), adapter(unit.sim.port_path()).describe())
                             .toUtf8()));
    // Why no other port was opened is said once, as is the retrying, whose waits are not each noted.
    QCOMPARE(log.count("adapters alike, none told apart"), adapters_back == 2 ? 1 : 0);
    QCOMPARE(log.count("wait 10 ms") + log.count("tried again every 10 ms"), end == End::success ? 0 : 1);
}

QTEST_GUILESS_MAIN(tst_update_engine)
#include "tst_update_engine.moc"
