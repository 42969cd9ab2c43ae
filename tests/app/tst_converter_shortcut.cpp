#include "app/mainwindow.h"
#include "converter/zipwindow.h"
#include "support/window_under_test.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include <memory>

namespace
{

const QList<Qt::Key> all_three{Qt::Key_V, Qt::Key_K, Qt::Key_T};

void press(QWidget* target, const QList<Qt::Key>& keys)
{
    for (Qt::Key key : keys)
        QTest::keyClick(target, key, Qt::ControlModifier);
}

bool activate(QWidget* window)
{
    QApplication::setActiveWindow(window);
    return QTest::qWaitForWindowActive(window);
}

} // namespace

class tst_converter_shortcut : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void opens_only_after_all_three_chords();
    void opening_again_clears_the_fields();
    void ignored_while_another_window_is_active();

private:
    std::unique_ptr<WindowUnderTest> ui;
};

void tst_converter_shortcut::init()
{
    ui = std::make_unique<WindowUnderTest>();
    ui->window->show();
    QVERIFY(activate(ui->window));
    // The shortcut map is application-wide: a chord left pending by the previous case must not
    // count towards this one.
    QTest::keyClick(ui->window, Qt::Key_Escape);
}

void tst_converter_shortcut::cleanup()
{
    ui.reset();
}

void tst_converter_shortcut::opens_only_after_all_three_chords()
{
    press(ui->window, {Qt::Key_V, Qt::Key_K});
    QCoreApplication::processEvents();
    QVERIFY(!ui->converter->isVisible());

    press(ui->window, {Qt::Key_T});
    QVERIFY(ui->converter->isVisible());
}

void tst_converter_shortcut::opening_again_clears_the_fields()
{
    press(ui->window, all_three);
    const QStringList fields{"pathLineEdit", "statusLineEdit"};
    for (const QString& name : fields)
        ui->converter->findChild<QLineEdit*>(name)->setText(QStringLiteral("left over"));

    QVERIFY(activate(ui->window));
    press(ui->window, all_three);

    QVERIFY(ui->converter->isVisible());
    for (const QString& name : fields)
        QVERIFY2(ui->converter->findChild<QLineEdit*>(name)->text().isEmpty(), qPrintable(name));
}

void tst_converter_shortcut::ignored_while_another_window_is_active()
{
    QWidget other;
    other.show();
    QVERIFY(activate(&other));

    press(ui->window, all_three);
    press(&other, all_three);

    QVERIFY(!ui->converter->isVisible());
}

QTEST_MAIN(tst_converter_shortcut)
#include "tst_converter_shortcut.moc"
