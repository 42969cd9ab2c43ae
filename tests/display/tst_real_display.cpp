#include "app/mainwindow.h"
#include "converter/zipwindow.h"
#include "serial/port_access.h"
#include "support/package_builder.h"
#include "support/pty_pair.h"
#include "support/window_under_test.h"
#include "widgets/form_fonts.h"
#include "widgets/popup.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCommandLinkButton>
#include <QLabel>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

// What a text needs beyond its widget's size, measured with the font it is drawn in; empty when
// it shows whole. Rich or wrapped text needs the height its width gives it.
QString overflow(QWidget* widget)
{
    QSize needed;
    QSize room = widget->size();
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        needed = label->sizeHint();
        if (label->wordWrap())
            needed = QSize(0, label->heightForWidth(label->width()));
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
        QFont font = button->font();
        font.setBold(font.bold() || qobject_cast<QCommandLinkButton*>(button));
        const int icon = button->icon().isNull() ? 0 : button->iconSize().width();
        needed = QSize(QFontMetrics(font).horizontalAdvance(button->text()) + icon, QFontMetrics(font).height());
        QStyleOptionButton option;
        option.initFrom(button);
        room = button->style()->subElementRect(QStyle::SE_PushButtonContents, &option, button).size();
    }
    if (needed.width() <= room.width() && needed.height() <= room.height())
        return QString();
    return QStringLiteral("%1/%2 needs %3x%4 in %5x%6")
        .arg(widget->window()->objectName(), widget->objectName())
        .arg(needed.width())
        .arg(needed.height())
        .arg(room.width())
        .arg(room.height());
}

} // namespace

class tst_real_display : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void every_window_maps_and_shows_its_texts_whole();
};

void tst_real_display::initTestCase()
{
    QVERIFY2(QGuiApplication::platformName() == QLatin1String("xcb"), "run through on_xvfb.sh");
    form_fonts::install();
}

void tst_real_display::every_window_maps_and_shows_its_texts_whole()
{
    PtyPair line;
    WindowUnderTest ui;
    ui.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(ui.window));
    QVERIFY(ui.connect_to(line));

    QTemporaryDir folder;
    const QString package = folder.filePath(QStringLiteral("Linha_X_3000#rev2.vkt"));
    QVERIFY(package_builder::write_package(package, {{"MAIN_1", package_builder::converted_firmware('C', 4)}}));
    QVERIFY(ui.choose_package(package));
    QVERIFY(QTest::qWaitForWindowExposed(ui.popup));

    ui.window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(ui.window));
    for (Qt::Key key : {Qt::Key_V, Qt::Key_K, Qt::Key_T})
        QTest::keyClick(ui.window, key, Qt::ControlModifier);
    QVERIFY(QTest::qWaitForWindowExposed(ui.converter));
    // The longest notice the window writes into a label.
    ui.widget<QLabel>("info")->setText(port_access::refusal_notice({true, false, QStringLiteral("dialout")}));

    // An X server breaks the connection on a request above its limit, which a big window icon is;
    // the windows must still be mapped after the server has had time to answer.
    QTest::qWait(300);
    QStringList faults;
    for (QWidget* window : QWidgetList{ui.window, ui.popup, ui.converter}) {
        QVERIFY2(window->windowHandle()->isExposed(), qPrintable(window->objectName()));
        for (const QSize& size : window->windowIcon().availableSizes())
            QVERIFY2(size.width() <= 256 && size.height() <= 256, qPrintable(window->objectName()));
        for (QWidget* widget : window->findChildren<QWidget*>())
            if (!overflow(widget).isEmpty())
                faults << overflow(widget);
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(QLatin1String("; "))));
}

QTEST_MAIN(tst_real_display)
#include "tst_real_display.moc"
