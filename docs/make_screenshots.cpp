// Renders the README's pictures headless: the main window as it starts, connected to a
// pseudo-terminal standing in for the equipment, and the warning dialog of an opened package.
#include "app/mainwindow.h"
#include "support/dialog_answer.h"
#include "support/package_builder.h"
#include "support/pty_pair.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

namespace {

bool save(QWidget* widget, const QString& path)
{
    const bool saved = widget->grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(path));
    return saved;
}

QWidget* top_level(const char* class_name)
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->inherits(class_name))
            return widget;
    }
    return nullptr;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("docs");
    QDir().mkpath(out);

    PtyPair line;
    MainWindow window;
    window.show();
    QTest::qWait(50);
    bool ok = save(&window, out + QStringLiteral("/main-window.png"));

    auto* ports = window.findChild<QComboBox*>(QStringLiteral("boxPort"));
    ports->addItem(line.slave_path());
    ports->setCurrentIndex(ports->count() - 1);
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("connectButton")), Qt::LeftButton);
    QTest::qWait(50);
    ok = save(&window, out + QStringLiteral("/main-window-connected.png")) && ok;

    QTemporaryDir folder;
    const QString package = folder.filePath(QStringLiteral("Linha_X_3000#rev2.vkt"));
    package_builder::write_package(package, {{QStringLiteral("MAIN_board.s19"), package_builder::converted_firmware('C', 4)},
                                             {QStringLiteral("EVENT_log.s19"), package_builder::converted_firmware('F', 4)}});
    dialog_answer::answer_next_file_dialog(package);
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("Search_archive")), Qt::LeftButton);
    QTest::qWait(100);
    ok = save(&window, out + QStringLiteral("/main-window-package.png")) && ok;
    if (QWidget* dialog = top_level("PopUp"))
        ok = save(dialog, out + QStringLiteral("/warning-dialog.png")) && ok;
    else
        ok = false;
    return ok ? 0 : 1;
}
