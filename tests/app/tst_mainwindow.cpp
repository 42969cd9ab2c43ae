#include "app/mainwindow.h"
#include "converter/zipwindow.h"
#include "support/dialog_answer.h"
#include "support/package_builder.h"
#include "support/program_output.h"
#include "support/pty_pair.h"
#include "widgets/popup.h"

#include <QApplication>
#include <QComboBox>
#include <QCommandLinkButton>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <termios.h>

namespace
{

const QString connected_status = QStringLiteral("CONECTADO");
const QString disconnected_status = QStringLiteral("DESCONECTADO");
const QString connect_label = QStringLiteral("CONECTAR");
const QString disconnect_label = QStringLiteral("DESCONECTAR");
const QString form_style = QStringLiteral("background:rgb(255, 15, 15);\nfont: 87 9pt \"Arial Black\";\n"
                                          "color:rgb(255, 255, 255);\nborder: 1px solid black;");
const QString connected_style =
    QStringLiteral("background:rgb(15, 255, 15);font: 75 9pt Arial Black; color:rgb(0, 0, 0);");
const QString disconnected_style = QStringLiteral(
    "background:rgb(255, 15, 15);font: 75 9pt Arial Black; color:rgb(255, 255, 255); border: 1px solid black;");
const QString busy_notice = QString::fromUtf8("Outro dispositivo já está conectado a esta porta COM");
const QString interrupted_notice = QString::fromUtf8("Comunicação interrompida!");
const QString sending_text = QString::fromUtf8("Enviando dados...");
const QString timeout_text = QStringLiteral("TimeOut");
// What the file counter reads right after a package of two files was opened.
const QString first_of_two = QStringLiteral(" (1 / 2)");

// The reply timer is a coarse Qt timer, which may fire up to 5 % early.
constexpr qint64 reply_timeout_floor_ms = 1900;
// Far beyond anything a pseudo-terminal needs to pass a few bytes along.
constexpr int arrival_ms = 2000;
constexpr int quiet_ms = 200;

// Qt takes a lock for every port it opens, so a second opener tells whether the first still
// holds the line.
bool port_is_free(const QString& path)
{
    QSerialPort probe;
    probe.setPortName(path);
    return probe.open(QIODevice::ReadWrite);
}

QStringList items_of(const QComboBox* box)
{
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items.append(box->itemText(i));
    return items;
}

QStringList messages;

void keep_message(QtMsgType, const QMessageLogContext&, const QString& text)
{
    messages.append(text);
}

} // namespace

class tst_mainwindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void form_at_start();
    void port_list_filled_and_rescanned();
    void constructor_sends_nothing_and_stays_disconnected();
    void start_sends_start_token_and_arms_reply_timeout();
    void closing_window_closes_dialog_and_converter();
    void connecting_shows_connected_look();
    void busy_port_shows_notice_until_released();
    void disconnecting_restores_disconnected_look();
    void status_at_scale_ends_data();
    void status_at_scale_ends();
    void status_carries_file_counter();
    void hang_up_while_connected_disconnects();

private:
    template <typename T> T* widget(const char* name) const
    {
        T* found = window->findChild<T*>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }
    QCommandLinkButton* init_button() const
    {
        return popup->findChild<QCommandLinkButton*>(QStringLiteral("initButton"));
    }
    // Presses the connect button on the pseudo-terminal's port; true when the window connected.
    bool connect_to_pty();
    void open_package_of_two(const QTemporaryDir& workspace);
    bool set_status(const QString& text, int progress);
    // The dialog as a running update leaves it, so that a reset of it shows.
    void start_popup();
    void verify_popup_reset();

    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<MainWindow> window;
    PopUp* popup = nullptr;
    zipwindow* converter = nullptr;
};

void tst_mainwindow::initTestCase()
{
    // Closing the window under test must not end the test run.
    QApplication::setQuitOnLastWindowClosed(false);
}

void tst_mainwindow::init()
{
    pty = std::make_unique<PtyPair>();
    QVERIFY(pty->is_valid());
    window = std::make_unique<MainWindow>();
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (auto* candidate = qobject_cast<PopUp*>(top))
            popup = candidate;
        else if (auto* candidate = qobject_cast<zipwindow*>(top))
            converter = candidate;
    }
    QVERIFY(popup);
    QVERIFY(converter);
}

void tst_mainwindow::cleanup()
{
    // Also stops the baud timer some tests start, before it can fire into the next test.
    window.reset();
    // The window never deletes its dialogs; without this every test would add its own pair.
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (qobject_cast<PopUp*>(top) || qobject_cast<zipwindow*>(top))
            delete top;
    }
    popup = nullptr;
    converter = nullptr;
    pty.reset();
}

bool tst_mainwindow::connect_to_pty()
{
    auto* ports = widget<QComboBox>("boxPort");
    ports->addItem(pty->slave_path());
    ports->setCurrentIndex(ports->count() - 1);
    widget<QPushButton>("connectButton")->click();
    return widget<QPushButton>("connectButton")->text() == disconnect_label;
}

void tst_mainwindow::open_package_of_two(const QTemporaryDir& workspace)
{
    QVERIFY(workspace.isValid());
    const QString package = workspace.filePath(QStringLiteral("Modelo_X#v1.vkt"));
    const QList<package_builder::Entry> files{
        {QStringLiteral("MAIN_A"), package_builder::converted_firmware('A', 3)},
        {QStringLiteral("GRID_B"), package_builder::converted_firmware('B', 3)},
    };
    QVERIFY(package_builder::write_package(package, files));
    dialog_answer::answer_next_file_dialog(package);
    QVERIFY(QMetaObject::invokeMethod(window.get(), "on_Search_archive_clicked"));
    QCOMPARE(widget<QLineEdit>("fileLineEdit")->text(), package);
}

bool tst_mainwindow::set_status(const QString& text, int progress)
{
    return QMetaObject::invokeMethod(window.get(), "set_progress_and_status", Q_ARG(QString, text),
                                     Q_ARG(int, progress));
}

void tst_mainwindow::start_popup()
{
    popup->set_started(true);
    popup->set_init_enabled(false);
    popup->show();
}

void tst_mainwindow::verify_popup_reset()
{
    QVERIFY(!popup->is_started());
    QVERIFY(init_button()->isEnabled());
    QVERIFY(!popup->isVisible());
}

void tst_mainwindow::form_at_start()
{
    QCOMPARE(window->windowTitle(), QStringLiteral("VKT Update Tool"));
    QCOMPARE(window->size(), QSize(630, 420));
    QCOMPARE(window->minimumSize(), QSize(630, 420));
    QCOMPARE(window->maximumSize(), QSize(630, 420));

    QVERIFY(!widget<QGroupBox>("archiveGroupBox")->isEnabled());
    QVERIFY(!widget<QGroupBox>("boxStatus")->isEnabled());
    QVERIFY(widget<QGroupBox>("boxSerial")->isEnabled());

    auto* status = widget<QLabel>("statusConnect");
    QCOMPARE(status->text(), disconnected_status);
    QCOMPARE(status->styleSheet(), form_style);
    QCOMPARE(status->alignment(), Qt::AlignCenter);
    QCOMPARE(widget<QPushButton>("connectButton")->text(), connect_label);
    QCOMPARE(widget<QLabel>("info")->text(), QString());

    auto* bootloader = widget<QLineEdit>("statusBootloader");
    QCOMPARE(bootloader->minimumSize(), QSize(300, 23));
    QCOMPARE(bootloader->maximumSize(), QSize(300, 23));
    QCOMPARE(bootloader->size(), QSize(300, 23));
    QVERIFY(bootloader->isReadOnly());
    QVERIFY(!widget<QLineEdit>("fileLineEdit")->isReadOnly());
    QVERIFY(widget<QLineEdit>("lineStatusArchive")->isReadOnly());
    QCOMPARE(widget<QProgressBar>("progressBar")->value(), 0);
}

void tst_mainwindow::port_list_filled_and_rescanned()
{
    QStringList names;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        names.append(info.portName());
    auto* ports = widget<QComboBox>("boxPort");
    QCOMPARE(items_of(ports), names);

    // A port unplugged since the last scan must not survive the next one, even with no ports left.
    ports->addItem(QStringLiteral("gone"));
    auto* scan = widget<QPushButton>("scan_push_button");
    scan->click();
    QCOMPARE(items_of(ports), names);
    scan->click();
    QCOMPARE(items_of(ports), names);
}

void tst_mainwindow::constructor_sends_nothing_and_stays_disconnected()
{
    // A write on the closed port would leave its failure in the log; that is the only trace a
    // constructor sending something could leave when no line is open. A port it opened would
    // answer "Conectado" and show the connected look.
    messages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keep_message);
    MainWindow fresh;
    qInstallMessageHandler(previous);

    for (const QString& message : qAsConst(messages))
        QVERIFY2(!message.contains(QLatin1String("write"), Qt::CaseInsensitive), qPrintable(message));
    QCOMPARE(fresh.findChild<QLabel*>(QStringLiteral("statusConnect"))->text(), disconnected_status);
    QCOMPARE(fresh.findChild<QPushButton*>(QStringLiteral("connectButton"))->text(), connect_label);
    QCOMPARE(fresh.findChild<QLabel*>(QStringLiteral("info"))->text(), QString());
}

void tst_mainwindow::start_sends_start_token_and_arms_reply_timeout()
{
    QVERIFY(connect_to_pty());
    auto* status_box = widget<QGroupBox>("boxStatus");

    QVERIFY(QMetaObject::invokeMethod(window.get(), "init_button", Q_ARG(bool, false)));
    QCOMPARE(program_output::read(*pty, 1, quiet_ms, 0), QByteArray());
    QVERIFY(!status_box->isEnabled());

    QElapsedTimer since_start;
    since_start.start();
    QVERIFY(QMetaObject::invokeMethod(window.get(), "init_button", Q_ARG(bool, true)));

    QCOMPARE(program_output::read(*pty, 6, arrival_ms), QByteArray("#B_STR"));
    QVERIFY(status_box->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(widget<QLineEdit>("statusBootloader")->text(), timeout_text, 2 * arrival_ms + 1000);
    QVERIFY2(since_start.elapsed() >= reply_timeout_floor_ms, qPrintable(QString::number(since_start.elapsed())));
}

void tst_mainwindow::closing_window_closes_dialog_and_converter()
{
    QVERIFY(connect_to_pty());
    window->show();
    popup->show();
    converter->show();
    QVERIFY(QTest::qWaitForWindowExposed(popup));
    QVERIFY(QTest::qWaitForWindowExposed(converter));

    QVERIFY(window->close());

    QVERIFY(!window->isVisible());
    QVERIFY(!popup->isVisible());
    QVERIFY(!converter->isVisible());
    // The equipment is told nothing when the operator walks away.
    QCOMPARE(program_output::read(*pty, 1, quiet_ms, 0), QByteArray());
}

void tst_mainwindow::connecting_shows_connected_look()
{
    widget<QLineEdit>("lineStatusArchive")->setText(QStringLiteral("Arquivo Validado"));
    start_popup();

    QVERIFY(connect_to_pty());

    QCOMPARE(widget<QLabel>("statusConnect")->text(), connected_status);
    QCOMPARE(widget<QLabel>("statusConnect")->styleSheet(), connected_style);
    QCOMPARE(widget<QPushButton>("connectButton")->text(), disconnect_label);
    QVERIFY(!widget<QGroupBox>("boxSerial")->isEnabled());
    QVERIFY(widget<QGroupBox>("archiveGroupBox")->isEnabled());
    QVERIFY(!widget<QGroupBox>("boxStatus")->isEnabled());
    QCOMPARE(widget<QLabel>("info")->text(), QString());
    QCOMPARE(widget<QLineEdit>("lineStatusArchive")->text(), QString());
    QCOMPARE(pty->slave_baud(), speed_t(B19200));
    QVERIFY(!port_is_free(pty->slave_path()));
    verify_popup_reset();
}

void tst_mainwindow::busy_port_shows_notice_until_released()
{
    QSerialPort holder;
    holder.setPortName(pty->slave_path());
    QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));
    start_popup();

    QVERIFY(!connect_to_pty());

    QCOMPARE(widget<QLabel>("info")->text(), busy_notice);
    QCOMPARE(widget<QLabel>("statusConnect")->text(), disconnected_status);
    QVERIFY(widget<QGroupBox>("boxSerial")->isEnabled());
    QVERIFY(!widget<QGroupBox>("archiveGroupBox")->isEnabled());
    verify_popup_reset();

    holder.close();
    widget<QPushButton>("connectButton")->click();

    QCOMPARE(widget<QPushButton>("connectButton")->text(), disconnect_label);
    QCOMPARE(widget<QLabel>("statusConnect")->text(), connected_status);
    QCOMPARE(widget<QLabel>("info")->text(), QString());
}

void tst_mainwindow::disconnecting_restores_disconnected_look()
{
    QVERIFY(connect_to_pty());
    QVERIFY(!port_is_free(pty->slave_path()));
    QTemporaryDir workspace;
    open_package_of_two(workspace);
    if (QTest::currentTestFailed())
        return;
    widget<QGroupBox>("boxStatus")->setEnabled(true);
    QVERIFY(set_status(sending_text, 40));
    QCOMPARE(widget<QLineEdit>("statusBootloader")->text(), sending_text + first_of_two);
    start_popup();

    widget<QPushButton>("connectButton")->click();

    QCOMPARE(widget<QLabel>("statusConnect")->text(), disconnected_status);
    QCOMPARE(widget<QLabel>("statusConnect")->styleSheet(), disconnected_style);
    QCOMPARE(widget<QPushButton>("connectButton")->text(), connect_label);
    QVERIFY(widget<QGroupBox>("boxSerial")->isEnabled());
    QVERIFY(!widget<QGroupBox>("archiveGroupBox")->isEnabled());
    QVERIFY(!widget<QGroupBox>("boxStatus")->isEnabled());
    QCOMPARE(widget<QLineEdit>("statusBootloader")->text(), QString());
    QCOMPARE(widget<QLineEdit>("fileLineEdit")->text(), QString());
    QCOMPARE(widget<QLineEdit>("lineStatusArchive")->text(), QString());
    QCOMPARE(widget<QProgressBar>("progressBar")->value(), 0);
    QVERIFY(port_is_free(pty->slave_path()));
    verify_popup_reset();
    // Nothing is said to the equipment on the way out.
    QCOMPARE(program_output::read(*pty, 1, quiet_ms, 0), QByteArray());
}

void tst_mainwindow::status_at_scale_ends_data()
{
    QTest::addColumn<int>("progress");
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("base_rate");
    QTest::addColumn<bool>("button_enabled");

    QTest::newRow("0 after a failure: base rate, button back") << 0 << false << true << true;
    QTest::newRow("0 while started: base rate, button stays off") << 0 << true << true << false;
    QTest::newRow("100 with more files to follow: button stays off") << 100 << true << true << false;
    QTest::newRow("100 when not started: button back") << 100 << false << true << true;
    QTest::newRow("40 touches neither") << 40 << false << false << false;
    QTest::newRow("1 touches neither") << 1 << false << false << false;
    QTest::newRow("99 touches neither") << 99 << false << false << false;
}

void tst_mainwindow::status_at_scale_ends()
{
    QFETCH(int, progress);
    QFETCH(bool, started);
    QFETCH(bool, base_rate);
    QFETCH(bool, button_enabled);
    QVERIFY(connect_to_pty());
    // A UART announcement moves the line to the data rate. It also starts the 2 s guard for the
    // data request; the window, and that timer with it, is gone before it could fire.
    QVERIFY(QMetaObject::invokeMethod(window.get(), "serial_state", Q_ARG(QString, QStringLiteral("#B_UAR"))));
    QCOMPARE(pty->slave_baud(), speed_t(B38400));
    popup->set_init_enabled(false);
    popup->set_started(started);

    QVERIFY(set_status(sending_text, progress));

    QCOMPARE(widget<QLineEdit>("statusBootloader")->text(), sending_text);
    QCOMPARE(widget<QProgressBar>("progressBar")->value(), progress);
    QCOMPARE(pty->slave_baud(), base_rate ? speed_t(B19200) : speed_t(B38400));
    QCOMPARE(init_button()->isEnabled(), button_enabled);
}

void tst_mainwindow::status_carries_file_counter()
{
    QTemporaryDir workspace;
    open_package_of_two(workspace);
    if (QTest::currentTestFailed())
        return;

    QVERIFY(set_status(sending_text, 40));
    QCOMPARE(widget<QLineEdit>("statusBootloader")->text(), sending_text + first_of_two);
    QCOMPARE(widget<QProgressBar>("progressBar")->value(), 40);

    QVERIFY(set_status(QString(), 0));
    QCOMPARE(widget<QLineEdit>("statusBootloader")->text(), first_of_two);
    QCOMPARE(widget<QProgressBar>("progressBar")->value(), 0);
}

void tst_mainwindow::hang_up_while_connected_disconnects()
{
    QVERIFY(connect_to_pty());
    QVERIFY(set_status(sending_text, 40));

    pty->hang_up();

    QTRY_COMPARE_WITH_TIMEOUT(widget<QLabel>("info")->text(), interrupted_notice, arrival_ms);
    QCOMPARE(widget<QPushButton>("connectButton")->text(), connect_label);
    QCOMPARE(widget<QLabel>("statusConnect")->text(), disconnected_status);
    QCOMPARE(widget<QLabel>("statusConnect")->styleSheet(), disconnected_style);
    QCOMPARE(widget<QLineEdit>("statusBootloader")->text(), QString());
    QVERIFY(widget<QGroupBox>("boxSerial")->isEnabled());
    QVERIFY(!widget<QGroupBox>("archiveGroupBox")->isEnabled());
    // A second report of the same loss would end the run again and write its text into the
    // status field that the disconnection has just emptied.
    QTest::qWait(quiet_ms);
    QCOMPARE(widget<QLineEdit>("statusBootloader")->text(), QString());
    QCOMPARE(widget<QLabel>("info")->text(), interrupted_notice);
}

QTEST_MAIN(tst_mainwindow)

#include "tst_mainwindow.moc"
