#include "widgets/board_name.h"
#include "widgets/popup.h"

#include <QCommandLinkButton>
#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

class tst_popup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void form();
    void equipment_name_data();
    void equipment_name();
    void two_quick_presses_start_once();
    void closing_without_pressing_starts_nothing();

private:
    QCommandLinkButton* button() const { return popup->findChild<QCommandLinkButton*>("initButton"); }

    std::unique_ptr<PopUp> popup;
};

void tst_popup::init()
{
    popup = std::make_unique<PopUp>();
}

void tst_popup::cleanup()
{
    popup.reset();
}

void tst_popup::form()
{
    QCOMPARE(popup->windowTitle(), QString::fromUtf8("Atenção!"));
    QCOMPARE(popup->minimumSize(), QSize(310, 200));
    QCOMPARE(popup->maximumSize(), QSize(310, 200));
    QCOMPARE(button()->text(), QStringLiteral("Iniciar"));
    QVERIFY(button()->isDefault());
    QVERIFY(button()->isEnabled());
    QVERIFY(!popup->is_started());
    const QStringList warnings{QString::fromUtf8(" - Não desligue o equipamento durante a\n atualização!"),
                               QString::fromUtf8("- Não interrompa a comunicação!"),
                               QString::fromUtf8("- Certifique-se que o cartão SD está \nconectado (Se Houver)")};
    QCOMPARE((QStringList{popup->findChild<QLabel*>("label")->text(), popup->findChild<QLabel*>("label_2")->text(),
                          popup->findChild<QLabel*>("label_4")->text()}),
             warnings);
}

void tst_popup::equipment_name_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");

    QTest::newRow("name before # with blanks for _") << "Modelo_X#versao.vkt"
                                                     << "Modelo X";
    QTest::newRow("only the first # counts") << "X#Y#Z"
                                             << "X";
    QTest::newRow("no # keeps the whole name and extension") << "Modelo_Y.vkt"
                                                             << "Modelo Y.vkt";
    QTest::newRow("folders are dropped, even with # in them") << "/home/op/v#2/Linha_Pro_3#v2.3.vkt"
                                                              << "Linha Pro 3";
    QTest::newRow("path ending in / has no name") << "/home/op/pacotes/" << QString();
    QTest::newRow("empty text") << QString() << QString();
}

void tst_popup::equipment_name()
{
    QFETCH(QString, path);
    QFETCH(QString, name);

    QCOMPARE(board_name::equipment_name(path), name);
    popup->show_board(path);
    QCOMPARE(popup->findChild<QLabel*>("boardLabel")->text(), name);
}

void tst_popup::two_quick_presses_start_once()
{
    popup->show();
    QVERIFY(QTest::qWaitForWindowExposed(popup.get()));
    QSignalSpy init(popup.get(), &PopUp::init);

    QTest::mouseClick(button(), Qt::LeftButton);
    QTest::mouseClick(button(), Qt::LeftButton);

    QCOMPARE(init.count(), 1);
    QCOMPARE(init.at(0).at(0).toInt(), 1);
    QVERIFY(!button()->isEnabled());
    QVERIFY(popup->is_started());
}

void tst_popup::closing_without_pressing_starts_nothing()
{
    popup->show();
    QVERIFY(QTest::qWaitForWindowExposed(popup.get()));
    QSignalSpy init(popup.get(), &PopUp::init);

    QVERIFY(popup->close());

    QVERIFY(!popup->is_started());
    QCOMPARE(init.count(), 0);
    QVERIFY(button()->isEnabled());
}

QTEST_MAIN(tst_popup)
#include "tst_popup.moc"
