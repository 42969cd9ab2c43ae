#include "equipment/equipment_simulator.h"
#include "link/port_catalog.h"
#include "support/fake_port_catalog.h"

#include <QDir>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace
{

using Outcome = port_catalog::FoundAgain::Outcome;

PortIdentity adapter(const QString& name, const QString& serial, quint16 vendor, quint16 product,
                     const QString& location)
{
    PortIdentity port;
    port.name = name;
    port.system_location = name.startsWith(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
    port.description = QStringLiteral("FT232R USB UART");
    port.serial_number = serial;
    port.vendor_id = vendor;
    port.product_id = product;
    port.usb_location = location;
    return port;
}

PortIdentity ftdi(const QString& name, const QString& serial, const QString& location = QString())
{
    return adapter(name, serial, 0x0403, 0x6001, location);
}

} // namespace

class tst_port_catalog : public QObject
{
    Q_OBJECT

private slots:
    void find_again_data();
    void find_again();
    void resolve_data();
    void resolve();
    void listings();
    void usb_location_data();
    void usb_location();
    void watcher_signals_each_plug_and_unplug_once();
    void unit_moved_to_another_pseudo_terminal_is_reopened();
};

void tst_port_catalog::find_again_data()
{
    QTest::addColumn<PortIdentity>("before");
    QTest::addColumn<QList<PortIdentity>>("now");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("name");

    const PortIdentity unit = ftdi("ttyACM0", "A1", "1-1.2");
    const PortIdentity no_serial = ftdi("ttyACM0", "", "1-1.2");
    QTest::newRow("back under a new name")
        << unit << QList<PortIdentity>{ftdi("ttyACM1", "A1", "1-1.2")} << int(Outcome::found) << "ttyACM1";
    QTest::newRow("no serial: the same kind at the same socket")
        << no_serial << QList<PortIdentity>{ftdi("ttyACM1", "", "1-1.3"), ftdi("ttyACM2", "", "1-1.2")}
        << int(Outcome::found) << "ttyACM2";
    QTest::newRow("a serial on one side only: the kind and socket decide")
        << no_serial << QList<PortIdentity>{ftdi("ttyACM1", "A1", "1-1.2")} << int(Outcome::found) << "ttyACM1";
    QTest::newRow("no serial: another kind at the socket is not it")
        << no_serial << QList<PortIdentity>{adapter("ttyACM1", "", 0x2341, 0x0043, "1-1.2")} << int(Outcome::absent)
        << "";
    QTest::newRow("the old name preferred among alike ports")
        << ftdi("ttyUSB1", "A1") << QList<PortIdentity>{ftdi("ttyUSB0", "A1"), ftdi("ttyUSB1", "A1")}
        << int(Outcome::found) << "ttyUSB1";
    QTest::newRow("two alike, neither under the old name: not guessed")
        << ftdi("ttyUSB0", "A1") << QList<PortIdentity>{ftdi("ttyUSB1", "A1"), ftdi("ttyUSB2", "A1")}
        << int(Outcome::ambiguous) << "";
    QTest::newRow("a clone's serial at another socket is another unit")
        << unit << QList<PortIdentity>{ftdi("ttyACM1", "A1", "1-1.3")} << int(Outcome::absent) << "";
    QTest::newRow("the old name now on another adapter")
        << unit << QList<PortIdentity>{ftdi("ttyACM0", "B2", "1-1.3")} << int(Outcome::absent) << "";
    QTest::newRow("vanished for good") << unit << QList<PortIdentity>{} << int(Outcome::absent) << "";
    QTest::newRow("no identity to look for")
        << ftdi("ttyACM0", "") << QList<PortIdentity>{ftdi("ttyACM0", "")} << int(Outcome::unidentified) << "";
}

void tst_port_catalog::find_again()
{
    QFETCH(PortIdentity, before);
    QFETCH(QList<PortIdentity>, now);
    QFETCH(int, outcome);
    QFETCH(QString, name);

    const port_catalog::FoundAgain found = port_catalog::find_again(before, now);
    QCOMPARE(int(found.outcome), outcome);
    QCOMPARE(found.port ? found.port->name : QString(), name);
    if (found.outcome == Outcome::ambiguous)
        QCOMPARE(found.candidates, (QStringList{"ttyUSB1", "ttyUSB2"}));
}

void tst_port_catalog::resolve_data()
{
    QTest::addColumn<QString>("spec");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("error");

    const struct {
        const char* row;
        const char* spec;
        const char* name;
        const char* error;
    } rows[] = {
        {"usb: serial, letter case aside", "usb:a1", "ttyUSB0", ""},
        {"loc: socket", "loc:1-1.3", "ttyUSB1", ""},
        {"id: the one of its kind", "id:2341:0043", "ttyACM0", ""},
        {"id: several of a kind", "id:0403:6001", "", "several ports with VID:PID 0403:6001: ttyUSB0, ttyUSB1"},
        {"unknown serial", "usb:Z9", "", "no port with USB serial Z9"},
        {"nothing after the prefix", "loc:", "", "loc: names no USB location"},
        {"nothing given", "", "", "no port given"},
        {"plain name", "ttyUSB1", "ttyUSB1", ""},
        {"unlisted path as given", "/dev/pts/5", "/dev/pts/5", ""},
    };
    for (const auto& row : rows)
        QTest::newRow(row.row) << QString(row.spec) << QString(row.name) << QString(row.error);
}

void tst_port_catalog::resolve()
{
    QFETCH(QString, spec);
    QFETCH(QString, name);
    QFETCH(QString, error);

    FakePortCatalog catalog;
    catalog.plug(ftdi("ttyUSB0", "A1", "1-1.2"));
    catalog.plug(ftdi("ttyUSB1", "B2", "1-1.3"));
    catalog.plug(adapter("ttyACM0", "", 0x2341, 0x0043, "1-1.4"));
    const port_catalog::Resolved resolved = port_catalog::resolve(spec, catalog);
    QCOMPARE(resolved.name, name);
    QCOMPARE(resolved.error, error);
}

void tst_port_catalog::listings()
{
    const PortIdentity board = port_catalog::lookup("/dev/ttyS0", {});
    PortIdentity usb = ftdi("ttyUSB10", "A1", "1-1.2");
    usb.manufacturer = QStringLiteral("FTDI");
    PortIdentity prolific = adapter("ttyUSB2", "", 0x067b, 0x2303, "1-1.3");
    prolific.description.clear();
    prolific.manufacturer = QStringLiteral("Prolific");
    const QList<PortIdentity> ports = port_catalog::sorted({usb, board, prolific});

    QCOMPARE(port_catalog::listing(ports),
             (QStringList{"/dev/ttyS0", "ttyUSB2     Prolific, 067b:2303, usb 1-1.3",
                          "ttyUSB10    FT232R USB UART, serial A1, 0403:6001, usb 1-1.2"}));
    QCOMPARE(port_catalog::machine_listing(ports).last(),
             "ttyUSB10\t/dev/ttyUSB10\tA1\t0403:6001\t1-1.2\tFTDI\tFT232R USB UART");
    QCOMPARE(port_catalog::machine_listing({board}), QStringList{"/dev/ttyS0\t\t\t\t\t\t"});
    // Named as the port box or as the system does, the port is the listed one.
    QCOMPARE(port_catalog::lookup("ttyUSB2", ports), prolific);
    QCOMPARE(port_catalog::lookup("/dev/ttyUSB10", ports), usb);
}

void tst_port_catalog::usb_location_data()
{
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("location");

    const struct {
        const char* row;
        const char* device;
        const char* location;
    } rows[] = {
        {"CDC ACM: the interface itself", "devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.2/1-1.2:1.0", "1-1.2"},
        {"USB serial driver: a port below the interface",
         "devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.4/1-1.4.3/1-1.4.3:1.0/ttyUSB0", "1-1.4.3"},
        {"board serial port: no USB", "devices/pnp0/00:00/00:00:0/00:00:0.0", ""},
    };
    for (const auto& row : rows)
        QTest::newRow(row.row) << QString(row.device) << QString(row.location);
}

void tst_port_catalog::usb_location()
{
    QFETCH(QString, device);
    QFETCH(QString, location);

    QTemporaryDir sysfs;
    const QDir root(sysfs.path());
    QVERIFY(root.mkpath(device) && root.mkpath("class/tty/ttyX"));
    QVERIFY(QFile::link(root.filePath(device), root.filePath("class/tty/ttyX/device")));
    QCOMPARE(port_catalog::usb_location("ttyX", sysfs.path()), location);
    QCOMPARE(port_catalog::usb_location("ttyY", sysfs.path()), QString());
}

void tst_port_catalog::watcher_signals_each_plug_and_unplug_once()
{
    FakePortCatalog catalog;
    catalog.plug(ftdi("ttyUSB0", "A1"));
    PortWatcher watcher(catalog);
    QSignalSpy spy(&watcher, &PortWatcher::changed);
    watcher.start(10);
    QCOMPARE(watcher.ports(), catalog.listed);

    catalog.plug(ftdi("ttyUSB1", "B2"));
    QVERIFY(spy.wait());
    watcher.scan();
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).value<QList<PortIdentity>>(), catalog.listed);

    catalog.unplug("ttyUSB0");
    QVERIFY(spy.wait());
    // Another adapter in the same socket between two polls takes the old name.
    catalog.listed[0].serial_number = QStringLiteral("C3");
    QVERIFY(spy.wait());
    watcher.scan();
    QCOMPARE(spy.count(), 3);
    QCOMPARE(watcher.ports(), catalog.listed);

    watcher.stop();
    catalog.plug(ftdi("ttyUSB0", "A1"));
    QTest::qWait(50);
    QCOMPARE(spy.count(), 3);
}

void tst_port_catalog::unit_moved_to_another_pseudo_terminal_is_reopened()
{
    EquipmentSimulator::Options recording;
    recording.automatic = false;
    auto unit = std::make_unique<EquipmentSimulator>(recording);
    EquipmentSimulator neighbour(recording);
    QVERIFY(unit->open_pty() && neighbour.open_pty());
    FakePortCatalog catalog;
    catalog.plug(ftdi(unit->port_path(), "SIM1", "1-1.2"));
    catalog.plug(ftdi(neighbour.port_path(), "SIM2", "1-1.3"));
    const PortIdentity before = port_catalog::lookup(unit->port_path(), catalog.ports());

    // The unit resets and comes back on a new terminal before the old one is gone, so the
    // system cannot hand it the old number again.
    EquipmentSimulator moved(recording);
    QVERIFY(moved.open_pty());
    unit.reset();
    catalog.unplug(before.name);
    catalog.plug(ftdi(moved.port_path(), "SIM1", "1-1.2"));

    const port_catalog::FoundAgain found = port_catalog::find_again(before, catalog.ports());
    QVERIFY(found.port);
    QCOMPARE(found.port->name, moved.port_path());
    QVERIFY(found.port->name != before.name);
    QSerialPort port(found.port->name);
    QVERIFY(port.open(QIODevice::ReadWrite));
    port.write("#B_STR");
    QTRY_COMPARE(moved.tokens(), QList<QByteArray>{"#B_STR"});
    QVERIFY(neighbour.tokens().isEmpty());
}

QTEST_GUILESS_MAIN(tst_port_catalog)
#include "tst_port_catalog.moc"
