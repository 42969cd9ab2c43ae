#include "link/port_catalog.h"
#include "support/fake_port_catalog.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

using Outcome = port_catalog::FoundAgain::Outcome;

PortIdentity adapter(const QString& name, const QString& serial, quint16 vendor, quint16 product,
                     const QString& location)
{
    const QString path = name.startsWith('/') ? name : "/dev/" + name;
    return {name, path, "FT232R USB UART", {}, serial, vendor, product, location};
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
    void usb_location_from_sysfs();
};

void tst_port_catalog::find_again_data()
{
    QTest::addColumn<PortIdentity>("before");
    QTest::addColumn<QList<PortIdentity>>("now");
    QTest::addColumn<int>("outcome");
    QTest::addColumn<QString>("name");

    const PortIdentity unit = ftdi("ttyACM0", "A1", "1-1.2");
    const PortIdentity no_serial = ftdi("ttyACM0", "", "1-1.2");
    const auto row = [](const char* name, const PortIdentity& before, const QList<PortIdentity>& now, Outcome outcome,
                        const char* port = "") {
        QTest::newRow(name) << before << now << int(outcome) << QString(port);
    };
    row("back under a new name", unit, {ftdi("ttyACM1", "A1", "1-1.2")}, Outcome::found, "ttyACM1");
    row("no serial: the same kind at the same socket", no_serial,
        {ftdi("ttyACM1", "", "1-1.3"), ftdi("ttyACM2", "", "1-1.2")}, Outcome::found, "ttyACM2");
    row("a serial on one side only: the kind and socket decide", no_serial, {ftdi("ttyACM1", "A1", "1-1.2")},
        Outcome::found, "ttyACM1");
    row("no serial: another kind at the socket is not it", no_serial, {adapter("ttyACM1", "", 0x2341, 0x0043, "1-1.2")},
        Outcome::absent);
    row("the old name preferred among alike ports", ftdi("ttyUSB1", "A1"),
        {ftdi("ttyUSB0", "A1"), ftdi("ttyUSB1", "A1")}, Outcome::found, "ttyUSB1");
    row("two alike, neither under the old name: not guessed", ftdi("ttyUSB0", "A1"),
        {ftdi("ttyUSB1", "A1"), ftdi("ttyUSB2", "A1")}, Outcome::ambiguous);
    row("a clone's serial at another socket is another unit", unit, {ftdi("ttyACM1", "A1", "1-1.3")}, Outcome::absent);
    row("vanished for good", unit, {}, Outcome::absent);
    row("no identity: socket, no serial nor vendor", adapter("ttyACM0", "", 0, 0, "1-1.2"), {}, Outcome::unidentified);
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
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("error");

    const auto row = [](const char* name, const char* given, const char* port, const char* error = "") {
        QTest::newRow(name) << QString(given) << QString(port) << QString(error);
    };
    row("usb: serial, letter case aside", "usb:a1", "ttyUSB0");
    row("loc: socket", "loc:1-1.3", "ttyUSB1");
    row("id: the one of its kind", "id:2341:0043", "ttyACM0");
    row("id: several of a kind", "id:0403:6001", "", "several ports with VID:PID 0403:6001: ttyUSB0, ttyUSB1");
    row("unknown serial", "usb:Z9", "", "no port with USB serial Z9");
    row("nothing after the prefix", "loc:", "", "loc: names no USB location");
    row("nothing given", "", "", "no port given");
    row("plain name", "ttyUSB1", "ttyUSB1");
    row("unlisted path as given", "/dev/pts/5", "/dev/pts/5");
}

void tst_port_catalog::resolve()
{
    QFETCH(QString, given);
    QFETCH(QString, name);
    QFETCH(QString, error);

    FakePortCatalog catalog;
    catalog.listed = {ftdi("ttyUSB0", "A1", "1-1.2"), ftdi("ttyUSB1", "B2", "1-1.3"),
                      adapter("ttyACM0", "", 0x2341, 0x0043, "1-1.4")};
    const port_catalog::Resolved resolved = port_catalog::resolve(given, catalog);
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
    QCOMPARE(port_catalog::lookup("/dev/ttyUSB10", ports), usb);
}

void tst_port_catalog::usb_location_from_sysfs()
{
    QTemporaryDir sysfs;
    const QDir root(sysfs.path());
    const auto plug = [&](const QString& tty, const QString& device) {
        return root.mkpath(device) && root.mkpath("class/tty/" + tty) &&
               QFile::link(root.filePath(device), root.filePath("class/tty/" + tty + "/device"));
    };
    const QString hub = QStringLiteral("devices/pci0000:00/0000:00:14.0/usb1/1-1/");
    QVERIFY(plug("ttyACM0", hub + "1-1.2/1-1.2:1.0"));
    QVERIFY(plug("ttyUSB0", hub + "1-1.4/1-1.4.3/1-1.4.3:1.0/ttyUSB0"));
    QVERIFY(plug("ttyS0", "devices/pnp0/00:00/00:00:0/00:00:0.0"));

    QCOMPARE(port_catalog::usb_location("ttyACM0", sysfs.path()), "1-1.2");
    QCOMPARE(port_catalog::usb_location("ttyUSB0", sysfs.path()), "1-1.4.3");
    QCOMPARE(port_catalog::usb_location("ttyS0", sysfs.path()), "");
    QCOMPARE(port_catalog::usb_location("ttyS1", sysfs.path()), "");
}

QTEST_GUILESS_MAIN(tst_port_catalog)
#include "tst_port_catalog.moc"
