#include "app/mainwindow.h"
#include "converter/zipwindow.h"
#include "equipment/equipment_simulator.h"
#include "support/fake_port_catalog.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/popup.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QtTest>

using Sim = EquipmentSimulator;

namespace
{

constexpr int run_timeout_ms = 60000;

// The window, its port on a pseudo-terminal and the equipment on the other end.
struct Rig {
    explicit Rig(const Sim::Options& options = Sim::Options()) : sim(options) {}
    QString package(const QList<package_builder::Entry>& files)
    {
        const QString path = dir.filePath(QStringLiteral("Linha_X#%1.vkt").arg(++packages));
        return package_builder::write_package(path, files) ? path : QString();
    }

    Sim sim;
    WindowUnderTest ui;
    QTemporaryDir dir;
    int packages = 0;
};

} // namespace

class tst_update_protocol : public QObject
{
    Q_OBJECT

private slots:
    void consent_is_per_package();
    void connection_control();
};

// Consent given for one package never starts another; closing the window removes what the unpacking created.
void tst_update_protocol::consent_is_per_package()
{
    Sim::Options options;
    options.silent_file = 0;
    Rig rig(options);
    bootloader_protocol::Waits waits = short_waits();
    waits.reply_ms = run_timeout_ms;
    rig.ui.window->set_waits(waits);
    QVERIFY(rig.ui.start_run(rig.sim, rig.package({{"MAIN_1.s", package_builder::converted_firmware('C', 5)}})));
    QTRY_COMPARE(rig.sim.tokens().size(), 1);
    QVERIFY(rig.ui.choose_package(rig.package({{"GRID_1.s", package_builder::converted_firmware('A', 5)}})));
    QVERIFY(rig.ui.popup->isVisible());
    QTest::qWait(100);
    QCOMPARE(rig.sim.tokens().size(), 1);
    QVERIFY(rig.ui.popup->findChild<QAbstractButton*>("initButton")->isEnabled() && !rig.ui.popup->is_started());
    QCOMPARE(rig.ui.text("statusBootloader"), QString()); // no counter of the ended run
    QCOMPARE(names_in(rig.dir.path()).size(), 3);         // two packages, one unpacking
    rig.ui.converter->show();
    rig.ui.window->close();
    QCOMPARE(names_in(rig.dir.path()), (QStringList{"Linha_X#1.vkt", "Linha_X#2.vkt"}));
    QVERIFY(!rig.ui.popup->isVisible() && !rig.ui.converter->isVisible());
}

void tst_update_protocol::connection_control()
{
    Rig rig;
    QVERIFY(rig.sim.open_pty());
    QVERIFY(!rig.ui.widget("archiveGroupBox")->isEnabled() && !rig.ui.widget("boxStatus")->isEnabled());
    // The list follows plugging without a press: each port by its name, the adapter in its tooltip, the chosen one
    // staying chosen while it is there.
    FakePortCatalog catalog;
    rig.ui.window->use_port_catalog(catalog, 10);
    auto* box = rig.ui.widget<QComboBox>("boxPort");
    const PortIdentity first{"ttyUSB1", "/dev/ttyUSB1", "FT232R USB UART", "FTDI", "A1", 0x0403, 0x6001, "1-1.2"};
    catalog.listed = {first};
    QVERIFY(run_until([&] { return box->count() == 1; }, run_timeout_ms));
    QCOMPARE(box->itemData(0, Qt::ToolTipRole).toString(), first.describe());
    catalog.listed.prepend({"ttyUSB0", "/dev/ttyUSB0", "ttyS0", "", "", 0, 0, ""});
    QVERIFY(run_until([&] { return box->count() == 2; }, run_timeout_ms));
    QCOMPARE(box->currentText(), first.name);
    catalog.listed.removeLast();
    QVERIFY(run_until([&] { return box->count() == 1; }, run_timeout_ms));
    QCOMPARE(box->currentText(), QStringLiteral("ttyUSB0"));
    // A name typed in the box stays as typed, cursor and all.
    box->setEditText(QStringLiteral("/dev/ttyS9"));
    box->lineEdit()->setCursorPosition(4);
    // Another adapter under the same name between two polls is another port.
    catalog.listed[0] = first;
    catalog.listed[0].name = QStringLiteral("ttyUSB0");
    QVERIFY(run_until([&] { return box->itemData(0, Qt::ToolTipRole) == catalog.listed[0].describe(); }, 5000));
    QCOMPARE(box->currentText(), QStringLiteral("/dev/ttyS9"));
    QCOMPARE(box->lineEdit()->cursorPosition(), 4);
    // Another program holding the port is told apart from a missing permission.
    QSerialPort holder;
    holder.setPortName(rig.sim.port_path());
    QVERIFY(holder.open(QIODevice::ReadWrite));
    QVERIFY(!rig.ui.connect_to(rig.sim.port_path()));
    QCOMPARE(rig.ui.text("info"), QString::fromUtf8("Outro dispositivo já está conectado a esta porta COM"));
    holder.close();
    QVERIFY(rig.ui.connect_to(rig.sim.port_path()));
    QCOMPARE(rig.ui.text("info"), QString());
    rig.ui.widget<QAbstractButton>("connectButton")->click();
    // A name that names nothing is told apart from a busy port.
    QVERIFY(!rig.ui.connect_to(rig.sim.port_path() + QString(200, 'x')));
    QCOMPARE(rig.ui.text("info"), QString::fromUtf8("Porta não encontrada ou não pôde ser aberta"));
    QVERIFY(rig.ui.connect_to(rig.sim.port_path()));
    QVERIFY(!rig.ui.widget("boxSerial")->isEnabled() && rig.ui.widget("archiveGroupBox")->isEnabled());
    QCOMPARE(rig.ui.text("statusConnect"), QStringLiteral("CONECTADO"));

    rig.ui.widget<QAbstractButton>("connectButton")->click();
    QCOMPARE(rig.ui.text("statusConnect"), QStringLiteral("DESCONECTADO"));
    QVERIFY(rig.ui.widget("boxSerial")->isEnabled() && !rig.ui.widget("archiveGroupBox")->isEnabled());
    QVERIFY(!rig.ui.widget("boxStatus")->isEnabled());
}

QTEST_MAIN(tst_update_protocol)
#include "tst_update_protocol.moc"
