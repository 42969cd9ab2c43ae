#include "widgets/popup.h"

#include <QCommandLinkButton>
#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

class tst_popup : public QObject
{
    Q_OBJECT

private slots:
    void equipment_name_data();
    void equipment_name();
    void two_quick_presses_start_once();
};

void tst_popup::equipment_name_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");

    const char* const rows[][3] = {
        {"name before # with blanks for _", "Modelo_X#versao.vkt", "Modelo X"},
        {"only the first # counts", "X#Y#Z", "X"},
        {"no # keeps the whole name and extension", "Modelo_Y.vkt", "Modelo Y.vkt"},
        {"folders are dropped, even with # in them", "/home/op/v#2/Linha_Pro_3#v2.3.vkt", "Linha Pro 3"},
        {"path ending in / has no name", "/home/op/pacotes/", ""},
    };
    for (const auto& row : rows)
        QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]);
}

void tst_popup::equipment_name()
{
    QFETCH(QString, path);
    QFETCH(QString, name);

    PopUp popup;
    popup.show_board(path);
    QCOMPARE(popup.findChild<QLabel*>("boardLabel")->text(), name);
}

void tst_popup::two_quick_presses_start_once()
{
    PopUp popup;
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
