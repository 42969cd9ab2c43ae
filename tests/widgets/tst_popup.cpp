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
    void initTestCase();
    void cleanupTestCase();
    void form();
    void equipment_name_data();
    void equipment_name();
    void two_quick_presses_start_once();
    void closing_without_pressing_starts_nothing();

private:
    // Building a dialog decodes its large window icon; the name rows share one.
    std::unique_ptr<PopUp> named;
};

void tst_popup::initTestCase()
{
    named = std::make_unique<PopUp>();
}

void tst_popup::cleanupTestCase()
{
    named.reset();
}

void tst_popup::form()
{
    PopUp popup;

    QCOMPARE(popup.windowTitle(), QString::fromUtf8("Atenção!"));
    QCOMPARE(popup.size(), QSize(310, 200));
    QCOMPARE(popup.minimumSize(), QSize(310, 200));
    QCOMPARE(popup.maximumSize(), QSize(310, 200));
    QVERIFY(popup.isWindow());
    auto* button = popup.findChild<QCommandLinkButton*>(QStringLiteral("initButton"));
    QVERIFY(button);
    QCOMPARE(button->text(), QStringLiteral("Iniciar"));
    QVERIFY(button->isDefault());
    QVERIFY(button->isEnabled());
    QVERIFY(!popup.is_started());

    const QPair<const char*, const char*> warnings[] = {
        {"label", " - Não desligue o equipamento durante a\n atualização!"},
        {"label_2", "- Não interrompa a comunicação!"},
        {"label_4", "- Certifique-se que o cartão SD está \nconectado (Se Houver)"},
    };
    for (const auto& warning : warnings) {
        auto* label = popup.findChild<QLabel*>(QLatin1String(warning.first));
        QVERIFY2(label, warning.first);
        QCOMPARE(label->text(), QString::fromUtf8(warning.second));
    }
}

void tst_popup::equipment_name_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("name");

    QTest::newRow("name before # with blanks for _")
        << QStringLiteral("Modelo_X#versao.vkt") << QStringLiteral("Modelo X");
    QTest::newRow("only the first # counts") << QStringLiteral("X#Y#Z") << QStringLiteral("X");
    QTest::newRow("no # keeps the whole name and extension")
        << QStringLiteral("Modelo_Y.vkt") << QStringLiteral("Modelo Y.vkt");
    QTest::newRow("folders are dropped, even with # in them")
        << QStringLiteral("/home/op/v#2/Linha_Pro_3#v2.3.vkt") << QStringLiteral("Linha Pro 3");
    QTest::newRow("path ending in / has no name") << QStringLiteral("/home/op/pacotes/") << QString();
    QTest::newRow("empty text") << QString() << QString();
    QTest::newRow("name beginning with # is empty") << QStringLiteral("#A.vkt") << QString();
}

void tst_popup::equipment_name()
{
    QFETCH(QString, path);
    QFETCH(QString, name);

    QCOMPARE(board_name::equipment_name(path), name);

    named->show_board(path);
    QCOMPARE(named->findChild<QLabel*>(QStringLiteral("boardLabel"))->text(), name);
}

void tst_popup::two_quick_presses_start_once()
{
    PopUp popup;
    popup.show();
    QVERIFY(QTest::qWaitForWindowExposed(&popup));
    auto* button = popup.findChild<QCommandLinkButton*>(QStringLiteral("initButton"));
    QSignalSpy init(&popup, &PopUp::init);

    QTest::mouseClick(button, Qt::LeftButton);
    QTest::mouseClick(button, Qt::LeftButton);

    QCOMPARE(init.count(), 1);
    QCOMPARE(init.at(0).at(0).toInt(), 1);
    QVERIFY(!button->isEnabled());
    QVERIFY(popup.is_started());
}

void tst_popup::closing_without_pressing_starts_nothing()
{
    PopUp popup;
    popup.show();
    QVERIFY(QTest::qWaitForWindowExposed(&popup));
    QSignalSpy init(&popup, &PopUp::init);

    QVERIFY(popup.close());

    QVERIFY(!popup.isVisible());
    QVERIFY(!popup.is_started());
    QCOMPARE(init.count(), 0);
    QVERIFY(popup.findChild<QCommandLinkButton*>(QStringLiteral("initButton"))->isEnabled());
}

QTEST_MAIN(tst_popup)

#include "tst_popup.moc"
