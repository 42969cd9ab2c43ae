#include "widgets/popup.h"

#include <QCommandLinkButton>
#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

class tst_popup : public QObject
{
    Q_OBJECT

private slots:
    void two_quick_presses_start_once();
};

// The dialog names the equipment from the package's name alone, and two quick presses start the update once.
void tst_popup::two_quick_presses_start_once()
{
    PopUp popup;
    popup.show_board("/home/op/v#2/Linha_Pro_3#v2.3.vkt");
    QCOMPARE(popup.findChild<QLabel*>("boardLabel")->text(), QStringLiteral("Linha Pro 3"));
    auto* button = popup.findChild<QCommandLinkButton*>("initButton");
    QSignalSpy init(&popup, &PopUp::init);
    popup.show();
    QVERIFY(QTest::qWaitForWindowExposed(&popup));
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::mouseClick(button, Qt::LeftButton);

    QCOMPARE(init.count(), 1);
    QCOMPARE(init.at(0).at(0).toInt(), 1);
    QVERIFY(!button->isEnabled());
    QVERIFY(popup.is_started());
}

QTEST_MAIN(tst_popup)
#include "tst_popup.moc"
