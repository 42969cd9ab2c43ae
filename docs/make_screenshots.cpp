// Renders the README's pictures headless: the main window as it starts, connected to a
// pseudo-terminal standing in for the equipment, the warning dialog of an opened package, a run
// in progress and the converter.
#include "app/mainwindow.h"
#include "converter/zipwindow.h"
#include "equipment/equipment_simulator.h"
#include "rules/package_signing.h"
#include "rules/package_trust.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/form_fonts.h"
#include "widgets/popup.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace
{

bool save(QWidget* widget, const QString& path)
{
    const bool saved = widget->grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(path));
    return saved;
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
    return ok ? 0 : 1;
}
