#include "app/mainwindow.h"
#include "converter/zipwindow.h"
#include "equipment/equipment_simulator.h"
#include "link/port_access.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/form_fonts.h"
#include "widgets/popup.h"
#include "x_keyboard.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLinkButton>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

// Wrapped text needs the height its width gives it; other text its size hint.
void check_fit(QWidget* widget, QStringList& faults)
{
    QSize needed, room = widget->size();
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        needed = label->wordWrap() ? QSize(0, label->heightForWidth(room.width())) : label->sizeHint();
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        // A command link draws its title in bold.
        QFont font = button->font();
        font.setBold(font.bold() || qobject_cast<QCommandLinkButton*>(button));
        const int icon = button->icon().isNull() ? 0 : button->iconSize().width();
        needed = QSize(QFontMetrics(font).horizontalAdvance(button->text()) + icon, QFontMetrics(font).height());
        QStyleOptionButton option;
        option.initFrom(button);
        room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).size();
    }
    if (needed.width() > room.width() || needed.height() > room.height()) {
        faults << QString();
        QDebug(&faults.last()) << widget->window()->objectName() << widget->objectName() << needed << room;
    }
}

} // namespace

class tst_real_display : public QObject
{
    Q_OBJECT

private slots:
    void every_window_maps_and_shows_its_texts_whole();
};

void tst_real_display::every_window_maps_and_shows_its_texts_whole()
{
    QVERIFY2(QGuiApplication::platformName() == QLatin1String("xcb"), "run through on_xvfb.sh");
    XKeyboard keyboard;
    form_fonts::install();
    EquipmentSimulator line;
    QVERIFY(line.open_pty());
    WindowUnderTest ui;
    ui.window->show();
    auto* port = ui.widget<QComboBox>("boxPort");
    auto* path = ui.converter->findChild<QLineEdit*>("pathLineEdit");
    auto* hint = ui.converter->findChild<QLabel*>("infoLabel");
    const QStringList converter_keys{"ctrl+v", "ctrl+k", "ctrl+t"};

    // The window starts with the focus in the port box, whose text field has keys of its own for two of the chords.
    QVERIFY(keyboard.activate(ui.window));
    QCOMPARE(QApplication::focusWidget(), port);
    QVERIFY(keyboard.keys(converter_keys));
    QVERIFY(QTest::qWaitForWindowExposed(ui.converter));
    path->setText(QStringLiteral("left over"));
    hint->setText(path->text());
    ui.converter->close();

    // A port typed by name, as for the simulated equipment the system does not list; the converter then opens on the
    // third chord only, with its fields cleared.
    port->clearEditText();
    QVERIFY(keyboard.activate(ui.window));
    QVERIFY(keyboard.type(line.port_path() + QLatin1Char('x')));
    QVERIFY(keyboard.keys({"BackSpace"}));
    QCOMPARE(port->currentText(), line.port_path());
    QVERIFY(keyboard.keys({"ctrl+v", "ctrl+k"}));
    QVERIFY(!ui.converter->isVisible());
    QVERIFY(keyboard.keys({"ctrl+t"}));
    QVERIFY(QTest::qWaitForWindowExposed(ui.converter));
    QVERIFY(path->text().isEmpty() && hint->text().isEmpty());
    ui.converter->close();

    ui.widget<QPushButton>("connectButton")->click();
    QCOMPARE(ui.text("connectButton"), QStringLiteral("DESCONECTAR"));
    QTemporaryDir folder;
    const QString package = folder.filePath(QStringLiteral("Linha_X_3000#rev2.vkt"));
    QVERIFY(package_builder::write_package(package, {{"MAIN_1", package_builder::converted_firmware('C', 4)}}));
    QVERIFY(ui.choose_package(package));
    QVERIFY(QTest::qWaitForWindowExposed(ui.popup));
    // A signer's line as long as a real trusted comment runs, in the one line the dialog has for it.
    ui.popup->show_signer(QStringLiteral("equipamento: Linha X 3000; arquivos (2): MAIN_board.s19, EVENT_log.s19; "
                                         "assinado em 2024-05-01"));
    // Only the main window opens the converter.
    QVERIFY(keyboard.activate(ui.popup));
    QVERIFY(keyboard.keys(converter_keys));
    QVERIFY(!ui.converter->isVisible());
    QVERIFY(keyboard.activate(ui.window));
    QVERIFY(keyboard.keys(converter_keys));
    QVERIFY(QTest::qWaitForWindowExposed(ui.converter));

    // An icon too big for one X request ends the process once the server has answered.
    QTest::qWait(300);
    QStringList faults;
    // Every notice the window writes into its info label, the connection's among them.
    auto* info = ui.widget<QLabel>("info");
    for (const QString& notice : MainWindow::info_notices() + QStringList{port_access::refusal_notice(
                                                                  {true, QStringLiteral("dialout")}, true)}) {
        info->setText(notice);
        check_fit(info, faults);
    }
    for (QWidget* window : QWidgetList{ui.window, ui.popup, ui.converter}) {
        QVERIFY2(window->windowHandle()->isExposed(), qPrintable(window->objectName()));
        for (const QSize& size : window->windowIcon().availableSizes())
            QVERIFY2(size.width() <= 256 && size.height() <= 256, qPrintable(window->objectName()));
        for (QWidget* widget : window->findChildren<QWidget*>())
            check_fit(widget, faults);
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1String("; "))));
}

QTEST_MAIN(tst_real_display)
#include "tst_real_display.moc"
