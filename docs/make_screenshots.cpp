// Renders the README's pictures headless: the main window as it starts, connected to a
// pseudo-terminal standing in for the equipment, the warning dialog of an opened package, a run
// in progress and the converter; and the station at the end of a bench of eight simulated units.
#include "app/mainwindow.h"
#include "converter/zipwindow.h"
#include "equipment/equipment_simulator.h"
#include "rules/package_signing.h"
#include "rules/package_trust.h"
#include "station/station_window.h"
#include "support/dialog_answer.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/form_fonts.h"
#include "widgets/popup.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>
#include <vector>

namespace
{

bool save(QWidget* widget, const QString& path)
{
    const bool saved = widget->grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(path));
    return saved;
}

// Eight units through the station, one failing in the middle of its second file and one pulled during its first,
// and the picture once all have ended.
bool station_picture(const QString& path, const QString& folder, const package_signature::KeyPair& key)
{
    const QString package = folder + QStringLiteral("/Linha_Y_500#rev7.vkt");
    package_builder::write_package(package,
                                   {{QStringLiteral("MAIN_board.s19"), package_builder::converted_firmware('C', 30)},
                                    {QStringLiteral("PV_panels.s19"), package_builder::converted_firmware('D', 30)}});
    QString why;
    if (!package_signing::sign_package(package, key, &why))
        return false;
    std::vector<std::unique_ptr<EquipmentSimulator>> units;
    StationWindow station(folder + QStringLiteral("/station.ini"));
    station.set_waits(short_waits());
    station.resize(1280, 560);
    station.show();
    for (int slot = 1; slot <= 8; ++slot) {
        EquipmentSimulator::Options options;
        if (slot == 3) {
            options.fail_file = 1;
            options.fail_after_line = 12;
        } else if (slot == 6) {
            options.hang_up_file = 0;
            options.hang_up_after_line = 20;
        }
        units.push_back(std::make_unique<EquipmentSimulator>(options));
        units.back()->open_pty();
        auto* box = station.findChild<QComboBox*>(QStringLiteral("slot_%1").arg(slot));
        box->setEditText(units.back()->port_path());
        emit box->lineEdit()->editingFinished();
        station.findChild<QLineEdit*>(QStringLiteral("serial_%1").arg(slot))
            ->setText(QStringLiteral("SN24%1").arg(slot, 3, 10, QLatin1Char('0')));
    }
    dialog_answer::answer_next_file_dialog(package);
    station.findChild<QPushButton*>(QStringLiteral("packageButton"))->click();
    station.findChild<QPushButton*>(QStringLiteral("startButton"))->click();
    station.warning()->findChild<QPushButton*>(QStringLiteral("initButton"))->click();
    const bool ended = run_until(
        [&] { return station.findChild<QLabel*>(QStringLiteral("totalCount"))->text() == QStringLiteral("Total 8"); },
        30000);
    station.findChild<QPushButton*>(QStringLiteral("lockButton"))->setChecked(true);
    QTest::qWait(300);
    return save(&station, path) && ended;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    form_fonts::install();
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs");
    QDir().mkpath(out);

    EquipmentSimulator::Options scripted;
    scripted.automatic = false;
    EquipmentSimulator line(scripted);
    bool ok = line.open_pty();
    WindowUnderTest ui;
    ui.window->show();
    QTest::qWait(50);
    ok = save(ui.window, out + QStringLiteral("/main-window.png")) && ok;

    ok = ui.connect_to(line.port_path()) && ok;
    QTest::qWait(50);
    ok = save(ui.window, out + QStringLiteral("/main-window-connected.png")) && ok;

    QTemporaryDir folder;
    const QString package = folder.filePath(QStringLiteral("Linha_X_3000#rev2.vkt"));
    package_builder::write_package(package,
                                   {{QStringLiteral("MAIN_board.s19"), package_builder::converted_firmware('C', 4)},
                                    {QStringLiteral("EVENT_log.s19"), package_builder::converted_firmware('F', 4)}});
    ok = ui.choose_package(package) && ok;
    QTest::qWait(100);
    ok = save(ui.window, out + QStringLiteral("/main-window-package.png")) && ok;
    ok = save(ui.popup, out + QStringLiteral("/warning-dialog.png")) && ok;

    // The equipment's side of a run as far as its first progress report; the picture is taken
    // well inside the two seconds the window then waits for the data request.
    ui.popup->close();
    line.send("#B_USB");
    line.send(QByteArray("#B_PR") + char(40));
    QTest::qWait(100);
    ok = save(ui.window, out + QStringLiteral("/main-window-running.png")) && ok;

    ui.converter->show();
    QTest::qWait(50);
    ok = save(ui.converter, out + QStringLiteral("/converter.png")) && ok;

    // The same package signed, with its key trusted: the dialog shows the trusted comment above the button.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(folder.filePath(QStringLiteral("config"))));
    const QString keys = package_trust::default_folders().last();
    QString key_id, why;
    ok = QDir().mkpath(keys) &&
         package_signing::write_key_pair(folder.filePath(QStringLiteral("k.key")), keys + QStringLiteral("/k.pub"), {},
                                         &key_id, &why) &&
         ok;
    const auto key = package_signing::load_key(
        folder.filePath(QStringLiteral("k.key")), [] { return QByteArray(); }, &why);
    ok = key && package_signing::sign_package(package, *key, &why) && ui.choose_package(package) && ok;
    QTest::qWait(100);
    ok = save(ui.popup, out + QStringLiteral("/warning-dialog-signed.png")) && ok;

    // The station's units keep their logs, records and history in the picture's own folder.
    qputenv("XDG_DATA_HOME", QFile::encodeName(folder.filePath(QStringLiteral("data"))));
    ok = key && station_picture(out + QStringLiteral("/station.png"), folder.path(), *key) && ok;
    return ok ? 0 : 1;
}
