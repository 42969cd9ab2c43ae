#include "engine/update_engine.h"
#include "equipment/equipment_simulator.h"
#include "station/slot_rules.h"
#include "station/station_window.h"
#include "support/dialog_answer.h"
#include "support/fake_port_catalog.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/popup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

PortIdentity adapter_at(const QString& name, const QString& location, const QString& serial = QString())
{
    PortIdentity port;
    port.name = name;
    port.system_location = name.startsWith('/') ? name : QStringLiteral("/dev/") + name;
    port.usb_location = location;
    port.serial_number = serial;
    port.vendor_id = 0x0403;
    port.product_id = 0x6001;
    return port;
}

QString text(QWidget* window, const QString& name)
{
    auto* widget = window->findChild<QWidget*>(name);
    if (auto* box = qobject_cast<QComboBox*>(widget))
        return box->currentText();
    return widget ? widget->property("text").toString() : QStringLiteral("<no %1>").arg(name);
}

// As the operator types a pin into the slot's box and leaves it.
void pin(QWidget* window, int slot, const QString& pin)
{
    auto* box = window->findChild<QComboBox*>(QStringLiteral("slot_%1").arg(slot));
    box->setEditText(pin);
    emit box->lineEdit()->editingFinished();
}

// Picks the package and consents to it through the warning; false when the warning never came.
bool consent(StationWindow& station, const QString& package)
{
    dialog_answer::answer_next_file_dialog(package);
    station.findChild<QPushButton*>(QStringLiteral("packageButton"))->click();
    station.findChild<QPushButton*>(QStringLiteral("startButton"))->click();
    if (!station.warning()->isVisible())
        return false;
    station.warning()->findChild<QPushButton*>(QStringLiteral("initButton"))->click();
    return !station.warning()->isVisible();
}

} // namespace

class tst_station : public QObject
{
    Q_OBJECT

private slots:
    void pins_find_their_port_data();
    void pins_find_their_port();
    void two_slots_on_one_adapter_clash_data();
    void two_slots_on_one_adapter_clash();
    void ended_unit_waits_for_its_unplugging_data();
    void ended_unit_waits_for_its_unplugging();
    void row_texts();
    void plugged_unit_starts_by_itself_once();
    void bad_input_is_said_in_its_row();
};

const QList<PortIdentity> bench = {adapter_at("ttyUSB0", "1-1.2", "A1"), adapter_at("ttyUSB1", "1-1.3", "DUP"),
                                   adapter_at("ttyUSB2", "1-1.4", "DUP")};

void tst_station::pins_find_their_port_data()
{
    QTest::addColumn<QString>("pin");
    QTest::addColumn<QString>("port"); // empty when absent
    QTest::addColumn<QStringList>("several");
    QTest::newRow("location") << "loc:1-1.2"
                              << "ttyUSB0" << QStringList();
    QTest::newRow("serial, letter case aside") << "usb:a1"
                                               << "ttyUSB0" << QStringList();
    QTest::newRow("name") << "ttyUSB0"
                          << "ttyUSB0" << QStringList();
    QTest::newRow("path") << "/dev/ttyUSB0"
                          << "ttyUSB0" << QStringList();
    QTest::newRow("a serial two clones share names none") << "usb:DUP"
                                                          << "" << QStringList{"ttyUSB1", "ttyUSB2"};
    QTest::newRow("location with nothing plugged") << "loc:1-1.9"
                                                   << "" << QStringList();
    QTest::newRow("location is not a prefix") << "loc:1-1"
                                              << "" << QStringList();
    QTest::newRow("unlisted path") << "/dev/pts/7"
                                   << "" << QStringList();
}

void tst_station::pins_find_their_port()
{
    QFETCH(QString, pin);
    QFETCH(QString, port);
    QFETCH(QStringList, several);
    const slot_rules::Found found = slot_rules::find(pin, bench);
    QCOMPARE(found.present, !port.isEmpty());
    QCOMPARE(found.present ? found.port.name : QString(), port);
    QCOMPARE(found.several, several);
}

void tst_station::two_slots_on_one_adapter_clash_data()
{
    QTest::addColumn<QString>("pin");
    QTest::addColumn<int>("own");
    QTest::addColumn<int>("clash");
    QTest::newRow("the serial of the adapter at a pinned location") << "usb:A1" << 3 << 0;
    QTest::newRow("the same serial, absent, letter case aside") << "usb:b9" << 3 << 1;
    QTest::newRow("the same path") << "/dev/pts/3" << 3 << 2;
    QTest::newRow("the name of the port at a pinned location") << "/dev/ttyUSB0" << 3 << 0;
    QTest::newRow("another location") << "loc:1-1.3" << 3 << -1;
    QTest::newRow("its own pin") << "loc:1-1.2" << 0 << -1;
}

void tst_station::two_slots_on_one_adapter_clash()
{
    QFETCH(QString, pin);
    QFETCH(int, own);
    QFETCH(int, clash);
    QCOMPARE(slot_rules::clash(pin, {"loc:1-1.2", "usb:B9", "/dev/pts/3", ""}, own, bench), clash);
}

void tst_station::ended_unit_waits_for_its_unplugging_data()
{
    // What the slot's list shows after the unit ended, each at a time: "-" absent, else the adapter's serial ("" none).
    QTest::addColumn<QString>("serial_at_end");
    QTest::addColumn<QStringList>("seen");
    QTest::addColumn<QList<int>>("at_ms");
    QTest::addColumn<bool>("held");
    QTest::newRow("still plugged") << "A1" << QStringList{"A1", "A1"} << QList<int>{0, 60000} << true;
    QTest::newRow("its restart after the update") << "A1" << QStringList{"-", "A1"} << QList<int>{0, 2999} << true;
    QTest::newRow("gone long enough") << "A1" << QStringList{"-", "-"} << QList<int>{0, 3000} << false;
    QTest::newRow("gone, counted from when it went")
        << "" << QStringList{"-", "", "-", "-"} << QList<int>{0, 2000, 2500, 5000} << true;
    QTest::newRow("another adapter serial, however soon")
        << "A1" << QStringList{"-", "B2"} << QList<int>{0, 100} << false;
    QTest::newRow("no serial to tell units apart") << "" << QStringList{"-", "C3"} << QList<int>{0, 100} << true;
}

void tst_station::ended_unit_waits_for_its_unplugging()
{
    QFETCH(QString, serial_at_end);
    QFETCH(QStringList, seen);
    QFETCH(QList<int>, at_ms);
    QFETCH(bool, held);
    for (const bool passed : {true, false}) {
        slot_rules::Latch latch;
        QVERIFY(!latch.holds_any());
        latch.ended(passed, serial_at_end);
        for (int i = 0; i < seen.size(); ++i) {
            const PortIdentity port = adapter_at("ttyACM0", "1-1.2", seen.at(i));
            latch.seen(seen.at(i) == "-" ? nullptr : &port, at_ms.at(i), 3000);
        }
        QCOMPARE(latch.holds_any(), held);
        QCOMPARE(latch.holds_passed(), held && passed);
    }
}

void tst_station::row_texts()
{
    QCOMPARE(slot_rules::file_counter("PV_fw.s19", 2, 6), QStringLiteral("PV 2 / 6"));
    QCOMPARE(slot_rules::file_counter("bootloader_main.s19", 1, 1), QStringLiteral("LOAD 1 / 1"));
    QCOMPARE(slot_rules::file_counter("notes.s19", 1, 2), QStringLiteral("1 / 2"));
    QCOMPARE(slot_rules::file_counter("MAIN.s19", 0, 2), QString());
    QCOMPARE(slot_rules::time_left(65), QStringLiteral("≥ 1:05"));
    QCOMPARE(slot_rules::time_left(-1), QString());
}

void tst_station::plugged_unit_starts_by_itself_once()
{
    QTemporaryDir dir;
    const QString package = dir.filePath("Linha_X#1.vkt");
    QVERIFY(package_builder::write_package(package, {{"PV_fw.s19", package_builder::converted_firmware('D', 6)}}));
    EquipmentSimulator pinned_unit, other_unit;
    QVERIFY(pinned_unit.open_pty() && other_unit.open_pty());
    FakePortCatalog ports;
    StationWindow station(dir.filePath("station.ini"));
    station.set_waits(short_waits());
    station.set_unplugged_ms(300);
    station.use_port_catalog(ports, 50);
    station.show();
    pin(&station, 1, "loc:1-1.2");
    station.findChild<QCheckBox*>("autoStart")->setChecked(true);
    station.findChild<QSpinBox*>("target")->setValue(1);
    QVERIFY(consent(station, package));
    QCOMPARE(text(&station, "equipment"), QStringLiteral("Linha X"));

    ports.listed = {adapter_at(pinned_unit.port_path(), "1-1.2"), adapter_at(other_unit.port_path(), "1-1.4")};
    QElapsedTimer plugged;
    plugged.start();
    QVERIFY(run_until([&] { return !pinned_unit.tokens().isEmpty(); }, 2000));
    qInfo("started %lld ms after it was plugged", plugged.elapsed());
    QVERIFY(run_until([&] { return text(&station, "totalCount") == "Total 1"; }, 10000));
    QCOMPARE(text(&station, "stage_1"), QStringLiteral("Operação realizada com Sucesso! (success)"));
    QCOMPARE(text(&station, "file_1"), QStringLiteral("PV 1 / 1"));
    QCOMPARE(text(&station, "passedCount"), QStringLiteral("Aprovadas 1"));
    QCOMPARE(text(&station, "leftCount"), QStringLiteral("Faltam 0"));
    auto* log = station.findChild<QPushButton*>("log_1");
    QVERIFY(log->isEnabled());
    QVERIFY(read_file(log->toolTip()).contains("outcome Operação realizada com Sucesso!"));

    // The unit that passed stays plugged, and the port no slot is pinned to was never opened.
    run_for(1000);
    QCOMPARE(pinned_unit.tokens().count("#B_STR"), 1);
    QVERIFY(other_unit.received().isEmpty());
    // Unplugged and plugged again: the next unit starts.
    const PortIdentity slot_one = ports.listed.takeFirst();
    run_for(600);
    ports.listed.prepend(slot_one);
    QVERIFY(run_until([&] { return text(&station, "totalCount") == "Total 2"; }, 10000));
    QCOMPARE(pinned_unit.tokens().count("#B_STR"), 2);
    QVERIFY(other_unit.received().isEmpty());
}

void tst_station::bad_input_is_said_in_its_row()
{
    QTemporaryDir dir;
    const QString package = dir.filePath("Linha_X#1.vkt");
    QVERIFY(package_builder::write_package(package, {{"MAIN.s19", package_builder::converted_firmware('C', 4)}}));
    EquipmentSimulator held_unit;
    QVERIFY(held_unit.open_pty());
    // A unit that announces itself and then says nothing more.
    EquipmentSimulator::Options scripted;
    scripted.automatic = false;
    EquipmentSimulator quiet_unit(scripted);
    QVERIFY(quiet_unit.open_pty());
    connect(&quiet_unit, &EquipmentSimulator::got, &quiet_unit, [&](const EquipmentSimulator::Received& item) {
        if (item.bytes == "#B_STR")
            quiet_unit.send("#B_USB");
    });
    bootloader_protocol::Waits waits = short_waits();
    waits.baud_guard_ms = 3000;
    waits.silence_notice_ms = 500;
    waits.silence_bound_ms = 5000;
    // Another program holds this unit's port.
    UpdateEngine other{QString()};
    other.open_port(held_unit.port_path());
    QVERIFY(other.is_open());
    FakePortCatalog ports;
    ports.listed = {adapter_at("ttyGONE0", "1-1.2", "A1")};
    const QString settings = dir.filePath("station.ini");
    {
        StationWindow station(settings);
        station.set_waits(waits);
        station.use_port_catalog(ports, 50);
        station.findChild<QSpinBox*>("target")->setValue(3);
        pin(&station, 1, "loc:1-1.2");
        pin(&station, 2, "usb:a1");
        QCOMPARE(text(&station, "stage_2"), QStringLiteral("Erro! Mesmo adaptador da posição 1"));
        QCOMPARE(text(&station, "slot_2"), QString());
        pin(&station, 2, "id:0403:6001");
        QVERIFY(text(&station, "stage_2").startsWith("Erro! Fixe a posição"));
        pin(&station, 3, held_unit.port_path());
        pin(&station, 4, quiet_unit.port_path());

        dialog_answer::answer_next_file_dialog(dir.filePath("firmware.zip"));
        station.findChild<QPushButton*>("packageButton")->click();
        QCOMPARE(text(&station, "packageStatus"), QStringLiteral("Erro! Arquivo Inválido"));
        QVERIFY(!station.findChild<QPushButton*>("startButton")->isEnabled());
        QVERIFY(consent(station, package));
        QCOMPARE(text(&station, "stage_3"), QStringLiteral("Outro dispositivo já está conectado a esta porta COM"));
        QVERIFY(text(&station, "stage_1").startsWith("Porta não encontrada"));
        QCOMPARE(text(&station, "totalCount"), QStringLiteral("Total 0"));
        QVERIFY(held_unit.received().isEmpty());
        QVERIFY(run_until([&] { return text(&station, "time_4").startsWith("≥ 0:0"); }, 1000));
        QVERIFY(run_until([&] { return text(&station, "time_4") == "sem resposta há 1 s"; }, 2500));
        QVERIFY(run_until([&] { return text(&station, "totalCount") == "Total 1"; }, 3000));
        QCOMPARE(text(&station, "stage_4"), QStringLiteral("Dispositivo Incompatível! (timeout)"));
        QVERIFY(text(&station, "time_4").isEmpty());
        QCOMPARE(text(&station, "failedCount"), QStringLiteral("Reprovadas 1"));
        QCOMPARE(text(&station, "leftCount"), QStringLiteral("Faltam 3"));
    }
    // The slots are kept, and a station with pinned slots starts locked against a slip.
    StationWindow again(settings);
    auto* slot_one = again.findChild<QComboBox*>("slot_1");
    QCOMPARE(slot_one->currentText(), QStringLiteral("loc:1-1.2"));
    QCOMPARE(text(&again, "slot_3"), held_unit.port_path());
    QCOMPARE(text(&again, "leftCount"), QStringLiteral("Faltam 3"));
    QVERIFY(!slot_one->isEnabled() && !again.findChild<QPushButton*>("packageButton")->isEnabled());
    again.findChild<QPushButton*>("lockButton")->click();
    QVERIFY(slot_one->isEnabled() && again.findChild<QPushButton*>("packageButton")->isEnabled());
}

QTEST_MAIN(tst_station)
#include "tst_station.moc"
