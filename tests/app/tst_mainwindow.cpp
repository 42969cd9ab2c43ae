#include "app/mainwindow.h"
#include "converter/zipwindow.h"
#include "support/pty_pair.h"
#include "support/window_under_test.h"
#include "widgets/popup.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSerialPort>
#include <QSerialPortInfo>
#include <QtTest>

#include <memory>
#include <termios.h>

namespace
{

const QString disconnected_status = QStringLiteral("DESCONECTADO");
const QString connect_label = QStringLiteral("CONECTAR");
const QString sending_text = QString::fromUtf8("Enviando dados...");
// The reply timer is a coarse Qt timer, which may fire up to 5 % early.
constexpr qint64 reply_timeout_floor_ms = 1900;
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

QStringList construction_messages;

void keep_message(QtMsgType, const QMessageLogContext&, const QString& text)
{
    construction_messages.append(text);
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
    void port_list_filled_once_and_rescanned();
    void start_sends_start_token_and_arms_reply_timeout();
    void closing_window_closes_dialog_and_converter();
    void busy_then_connected_then_disconnected();
    void status_at_scale_ends_data();
    void status_at_scale_ends();

private:
    template <typename T> T* widget(const char* name) const { return ui->widget<T>(name); }
    bool popup_reset() const;
    void start_popup();

    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<WindowUnderTest> ui;
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
    // A write from the constructor, with no port open, could leave no other trace than a log line.
    construction_messages.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keep_message);
    ui = std::make_unique<WindowUnderTest>();
    qInstallMessageHandler(previous);
}

void tst_mainwindow::cleanup()
{
    // Also stops the baud timer some tests start, before it can fire into the next test.
    ui.reset();
    pty.reset();
}

bool tst_mainwindow::popup_reset() const
{
    return !ui->popup->is_started() && ui->popup->findChild<QWidget*>("initButton")->isEnabled() &&
           !ui->popup->isVisible();
}

void tst_mainwindow::start_popup()
{
    ui->popup->set_started(true);
    ui->popup->set_init_enabled(false);
    ui->popup->show();
}

void tst_mainwindow::form_at_start()
{
    for (const QString& message : qAsConst(construction_messages))
        QVERIFY2(!message.contains(QLatin1String("write"), Qt::CaseInsensitive), qPrintable(message));

    QCOMPARE(ui->window->minimumSize(), QSize(630, 420));
    QCOMPARE(ui->window->maximumSize(), QSize(630, 420));
    QVERIFY(!widget<QGroupBox>("archiveGroupBox")->isEnabled());
    QVERIFY(!widget<QGroupBox>("boxStatus")->isEnabled());
    QVERIFY(widget<QGroupBox>("boxSerial")->isEnabled());
    // The disconnected look written later must differ from the form's own.
    QCOMPARE(widget<QLabel>("statusConnect")->styleSheet(),
             QStringLiteral("background:rgb(255, 15, 15);\nfont: 87 9pt \"Arial Black\";\n"
                            "color:rgb(255, 255, 255);\nborder: 1px solid black;"));
    QCOMPARE(ui->text("statusConnect"), disconnected_status);
    QCOMPARE(ui->text("connectButton"), connect_label);
    QCOMPARE(ui->text("info"), QString());
    QCOMPARE(widget<QWidget>("statusBootloader")->size(), QSize(300, 23));
}

void tst_mainwindow::port_list_filled_once_and_rescanned()
{
    QStringList names;
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        names.append(info.portName());
    auto* ports = widget<QComboBox>("boxPort");
    QCOMPARE(items_of(ports), names);
    // A port unplugged since the last scan must not survive the next one, even with no ports left.
    ports->addItem(QStringLiteral("gone"));

    widget<QPushButton>("scan_push_button")->click();

    QCOMPARE(items_of(ports), names);
}

void tst_mainwindow::start_sends_start_token_and_arms_reply_timeout()
{
    QVERIFY(ui->connect_to(*pty));
    QVERIFY(ui->invoke("init_button", Q_ARG(bool, false)));
    QCOMPARE(pty->read_program_output(1, quiet_ms, 0), QByteArray());
    QVERIFY(!widget<QGroupBox>("boxStatus")->isEnabled());

    QElapsedTimer since_start;
    since_start.start();
    QVERIFY(ui->invoke("init_button", Q_ARG(bool, true)));

    QCOMPARE(pty->read_program_output(6, arrival_ms), QByteArray("#B_STR"));
    QVERIFY(widget<QGroupBox>("boxStatus")->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(ui->text("statusBootloader"), QStringLiteral("TimeOut"), 2 * arrival_ms + 1000);
    QVERIFY2(since_start.elapsed() >= reply_timeout_floor_ms, qPrintable(QString::number(since_start.elapsed())));
}

void tst_mainwindow::closing_window_closes_dialog_and_converter()
{
    QVERIFY(ui->connect_to(*pty));
    ui->window->show();
    ui->popup->show();
    ui->converter->show();

    QVERIFY(ui->window->close());

    QVERIFY(!ui->popup->isVisible());
    QVERIFY(!ui->converter->isVisible());
    // The equipment is told nothing when the operator walks away.
    QCOMPARE(pty->read_program_output(1, quiet_ms, 0), QByteArray());
}

// The dialog is left as a running update leaves it before each press, so that its reset shows.
void tst_mainwindow::busy_then_connected_then_disconnected()
{
    QSerialPort holder;
    holder.setPortName(pty->slave_path());
    QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));
    start_popup();

    QVERIFY(!ui->connect_to(*pty));

    QCOMPARE(ui->text("info"), QString::fromUtf8("Outro dispositivo já está conectado a esta porta COM"));
    QCOMPARE(ui->text("statusConnect"), disconnected_status);
    QVERIFY(widget<QGroupBox>("boxSerial")->isEnabled());
    QVERIFY(!widget<QGroupBox>("archiveGroupBox")->isEnabled());
    QVERIFY(popup_reset());

    holder.close();
    widget<QWidget>("lineStatusArchive")->setProperty("text", "Arquivo Validado");
    start_popup();
    widget<QPushButton>("connectButton")->click();

    QCOMPARE(ui->text("statusConnect"), QStringLiteral("CONECTADO"));
    QCOMPARE(widget<QLabel>("statusConnect")->styleSheet(),
             QStringLiteral("background:rgb(15, 255, 15);font: 75 9pt Arial Black; color:rgb(0, 0, 0);"));
    QCOMPARE(ui->text("connectButton"), QStringLiteral("DESCONECTAR"));
    QCOMPARE(ui->text("info"), QString());
    QCOMPARE(ui->text("lineStatusArchive"), QString());
    QVERIFY(!widget<QGroupBox>("boxSerial")->isEnabled());
    QVERIFY(widget<QGroupBox>("archiveGroupBox")->isEnabled());
    QCOMPARE(pty->slave_baud(), speed_t(B19200));
    QVERIFY(!port_is_free(pty->slave_path()));
    QVERIFY(popup_reset());

    for (const char* field : {"statusBootloader", "fileLineEdit", "lineStatusArchive"})
        widget<QWidget>(field)->setProperty("text", "left over");
    widget<QGroupBox>("boxStatus")->setEnabled(true);
    widget<QProgressBar>("progressBar")->setValue(40);
    start_popup();
    widget<QPushButton>("connectButton")->click();

    QCOMPARE(ui->text("statusConnect"), disconnected_status);
    // One line, unlike the form's own.
    QCOMPARE(widget<QLabel>("statusConnect")->styleSheet(),
             QStringLiteral("background:rgb(255, 15, 15);font: 75 9pt Arial Black; color:rgb(255, 255, 255); "
                            "border: 1px solid black;"));
    QCOMPARE(ui->text("connectButton"), connect_label);
    QVERIFY(widget<QGroupBox>("boxSerial")->isEnabled());
    QVERIFY(!widget<QGroupBox>("archiveGroupBox")->isEnabled());
    QVERIFY(!widget<QGroupBox>("boxStatus")->isEnabled());
    for (const char* field : {"statusBootloader", "fileLineEdit", "lineStatusArchive"})
        QVERIFY2(ui->text(field).isEmpty(), field);
    QCOMPARE(widget<QProgressBar>("progressBar")->value(), 0);
    QVERIFY(port_is_free(pty->slave_path()));
    QVERIFY(popup_reset());
    // Nothing is said to the equipment on the way in or out.
    QCOMPARE(pty->read_program_output(1, quiet_ms, 0), QByteArray());
}

void tst_mainwindow::status_at_scale_ends_data()
{
    QTest::addColumn<int>("progress");
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("base_rate");
    QTest::addColumn<bool>("button_enabled");

    QTest::newRow("0 after a failure: base rate, button back") << 0 << false << true << true;
    QTest::newRow("100 with more files to follow: base rate, button stays off") << 100 << true << true << false;
    QTest::newRow("1 touches neither") << 1 << false << false << false;
    QTest::newRow("99 touches neither") << 99 << false << false << false;
}

void tst_mainwindow::status_at_scale_ends()
{
    QFETCH(int, progress);
    QFETCH(bool, started);
    QFETCH(bool, base_rate);
    QFETCH(bool, button_enabled);
    QVERIFY(ui->connect_to(*pty));
    // A UART announcement moves the line to the data rate; its 2 s guard dies with the window.
    QVERIFY(ui->invoke("serial_state", Q_ARG(QString, "#B_UAR")));
    QCOMPARE(pty->slave_baud(), speed_t(B38400));
    ui->popup->set_init_enabled(false);
    ui->popup->set_started(started);

    QVERIFY(ui->invoke("set_progress_and_status", Q_ARG(QString, sending_text), Q_ARG(int, progress)));

    QCOMPARE(ui->text("statusBootloader"), sending_text);
    QCOMPARE(widget<QProgressBar>("progressBar")->value(), progress);
    QCOMPARE(pty->slave_baud(), base_rate ? speed_t(B19200) : speed_t(B38400));
    QCOMPARE(ui->popup->findChild<QWidget*>("initButton")->isEnabled(), button_enabled);
}

QTEST_MAIN(tst_mainwindow)
#include "tst_mainwindow.moc"
