// The hidden converter opens only from the whole three-chord sequence, typed in the active main window.
#include "app/mainwindow.h"
#include "converter/zipwindow.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>

namespace
{

QList<zipwindow*> converters()
{
    QList<zipwindow*> found;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<zipwindow*>(widget))
            found.append(window);
    }
    return found;
}

void press_chords(QWidget* target, const QList<Qt::Key>& keys)
{
    for (Qt::Key key : keys)
        QTest::keyClick(target, key, Qt::ControlModifier);
}

} // namespace

class ConverterShortcutTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        const QList<zipwindow*> before = converters();
        window = new MainWindow;
        // The main window keeps its converter for the life of the process; find this window's own.
        for (zipwindow* candidate : converters()) {
            if (!before.contains(candidate))
                own_converter = candidate;
        }
        window->show();
        QApplication::setActiveWindow(window);
        QVERIFY(QTest::qWaitForWindowActive(window));
        QVERIFY(converter());
        // The shortcut map is application-wide: a chord left pending by the previous case must not
        // count towards this one.
        QTest::keyClick(window, Qt::Key_Escape);
    }

    void cleanup()
    {
        window->close();
        delete window;
        window = nullptr;
        own_converter = nullptr;
    }

    void opens_only_after_all_three_chords_data()
    {
        QTest::addColumn<QList<Qt::Key>>("keys");
        QTest::addColumn<bool>("opens");
        QTest::newRow("first chord only") << QList<Qt::Key>{Qt::Key_V} << false;
        QTest::newRow("two chords") << QList<Qt::Key>{Qt::Key_V, Qt::Key_K} << false;
        QTest::newRow("chords out of order") << QList<Qt::Key>{Qt::Key_K, Qt::Key_V, Qt::Key_T} << false;
        QTest::newRow("all three") << QList<Qt::Key>{Qt::Key_V, Qt::Key_K, Qt::Key_T} << true;
    }

    void opens_only_after_all_three_chords()
    {
        QFETCH(QList<Qt::Key>, keys);
        QFETCH(bool, opens);
        press_chords(window, keys);
        QCoreApplication::processEvents();
        QCOMPARE(converter()->isVisible(), opens);
    }

    void opening_again_clears_the_fields()
    {
        press_chords(window, {Qt::Key_V, Qt::Key_K, Qt::Key_T});
        QVERIFY(converter()->isVisible());
        const QStringList fields{"pathLineEdit", "statusLineEdit"};
        for (const QString& name : fields)
            converter()->findChild<QLineEdit*>(name)->setText(QStringLiteral("left over"));

        QApplication::setActiveWindow(window);
        QVERIFY(QTest::qWaitForWindowActive(window));
        press_chords(window, {Qt::Key_V, Qt::Key_K, Qt::Key_T});
        QVERIFY(converter()->isVisible());
        for (const QString& name : fields)
            QVERIFY2(converter()->findChild<QLineEdit*>(name)->text().isEmpty(), qPrintable(name));
    }

    void ignored_while_another_window_is_active()
    {
        QWidget other;
        other.show();
        QApplication::setActiveWindow(&other);
        QVERIFY(QTest::qWaitForWindowActive(&other));
        press_chords(window, {Qt::Key_V, Qt::Key_K, Qt::Key_T});
        press_chords(&other, {Qt::Key_V, Qt::Key_K, Qt::Key_T});
        QVERIFY(!converter()->isVisible());
    }

private:
    zipwindow* converter() const { return own_converter; }

    MainWindow* window = nullptr;
    zipwindow* own_converter = nullptr;
};

QTEST_MAIN(ConverterShortcutTest)
#include "tst_converter_shortcut.moc"
