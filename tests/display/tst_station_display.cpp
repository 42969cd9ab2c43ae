#include "equipment/equipment_simulator.h"
#include "servicelog/unit_history.h"
#include "station/station_window.h"
#include "support/dialog_answer.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/form_fonts.h"
#include "widgets/popup.h"
#include "x_keyboard.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <vector>

namespace
{

} // namespace

class tst_station_display : public QObject
{
    Q_OBJECT

private slots:
    void eight_units_with_two_failures();
};

void tst_station_display::eight_units_with_two_failures()
{
    QVERIFY2(QGuiApplication::platformName() == QLatin1String("xcb"), "run through on_xvfb.sh");
    XKeyboard keyboard;
    form_fonts::install();
    QTemporaryDir dir;
    const QString package = dir.filePath("Linha_X#2.vkt");
    QVERIFY(package_builder::write_package(package, {{"MAIN_fw.s19", package_builder::converted_firmware('C', 30)},
                                                     {"PV_fw.s19", package_builder::converted_firmware('D', 30)}}));
    std::vector<std::unique_ptr<EquipmentSimulator>> units;
    for (int slot = 1; slot <= 8; ++slot) {
        EquipmentSimulator::Options options;
        // One unit fails in the middle of its second file, one is pulled during its first.
        options.fail_file = slot == 3 ? 1 : -1;
        options.fail_after_line = slot == 3 ? 12 : -1;
        options.hang_up_file = slot == 6 ? 0 : -1;
        options.hang_up_after_line = slot == 6 ? 20 : -1;
        units.push_back(std::make_unique<EquipmentSimulator>(options));
        QVERIFY(units.back()->open_pty());
    }
    StationWindow station(dir.filePath("station.ini"));
    // Eight simulated units answer from this test's own thread, which the window also needs: on a busy machine an
    // answer may come later than the shortened reply wait, and nothing here is about time-outs.
    auto waits = short_waits();
    waits.reply_ms = 2000;
    waits.silence_bound_ms = 10000;
    station.set_waits(waits);
    station.show();
    QVERIFY(keyboard.activate(&station));

    // The slots and a unit's serial are typed, as the operator types them or a scanner does.
    for (int slot = 1; slot <= 8; ++slot) {
        station.findChild<QComboBox*>(QStringLiteral("slot_%1").arg(slot))->setFocus();
        QVERIFY(keyboard.type(units.at(slot - 1)->port_path()));
        QVERIFY(keyboard.keys({"Tab"}));
    }
    station.findChild<QLineEdit*>("serial_1")->setFocus();
    QVERIFY(keyboard.type("SN1001"));
    dialog_answer::answer_next_file_dialog(package);
    station.findChild<QPushButton*>("packageButton")->click();
    station.findChild<QPushButton*>("startButton")->setFocus();
    QVERIFY(keyboard.keys({"space"}));
    QVERIFY(QTest::qWaitForWindowExposed(station.warning()));
    QVERIFY(keyboard.activate(station.warning()));
    QVERIFY(keyboard.keys({"space"}));

    const auto text = [&](const QString& name) { return station.findChild<QWidget*>(name)->property("text"); };
    QVERIFY(run_until([&] { return text("totalCount") == "Total 8"; }, 60000));
    QStringList stages, expected;
    for (int slot = 1; slot <= 8; ++slot) {
        stages << text(QStringLiteral("stage_%1").arg(slot)).toString();
        expected << (slot == 3   ? QStringLiteral("Erro de Checksum! (device_failure)")
                     : slot == 6 ? QStringLiteral("Comunicação interrompida! (link_lost)")
                                 : QStringLiteral("Operação realizada com Sucesso! (success)"));
    }
    QCOMPARE(stages, expected);
    QCOMPARE(text("passedCount").toString(), QStringLiteral("Aprovadas 6"));
    QCOMPARE(text("failedCount").toString(), QStringLiteral("Reprovadas 2"));
    QCOMPARE(text("file_3").toString(), QStringLiteral("PV 2 / 2"));
    QCOMPARE(text("file_6").toString(), QStringLiteral("MAIN 1 / 2"));
    // The bar stays where the unit was pulled.
    const int pulled_at = station.findChild<QWidget*>("progress_6")->property("value").toInt();
    QVERIFY2(pulled_at > 0 && pulled_at < 100, qPrintable(QString::number(pulled_at)));
    // The serial typed into the row is the unit's in its history row.
    QVERIFY(run_until(
        [&] {
            return sqlite3(UnitHistory::default_path(),
                           "select port, end_class from units where unit_serial = 'SN1001' order by id desc limit 1") ==
                   units.at(0)->port_path() + "|success";
        },
        5000));
}

QTEST_MAIN(tst_station_display)
#include "tst_station_display.moc"
