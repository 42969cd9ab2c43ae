#include "serial/serial.h"
#include "support/pty_pair.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

#include <fcntl.h>
#include <memory>
#include <termios.h>
#include <unistd.h>

namespace
{

const QByteArray connected = QByteArrayLiteral("Conectado");
const QByteArray time_out = QByteArrayLiteral("TimeOut");
const QByteArray interrupted = QByteArrayLiteral("Serial_Interrupted");

// The reply timer is a coarse Qt timer, which may fire up to 5 % early.
constexpr qint64 reply_timeout_floor_ms = 1900;
// Long enough for a reply timer armed at the last write to have run out.
constexpr int silence_ms = 2300;
constexpr int arrival_ms = 2000;

QList<QByteArray> emissions(const QSignalSpy& spy)
{
    QList<QByteArray> all;
    for (const QList<QVariant>& emission : spy)
        all.append(emission.at(0).toByteArray());
    return all;
}

// Leaves the line in a state no one would choose, so that what is read back afterwards is what
// the program set and not what the pseudo-terminal started with.
bool spoil_line_settings(const QString& path)
{
    const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    termios settings{};
    ::tcgetattr(fd, &settings);
    ::cfsetispeed(&settings, B9600);
    ::cfsetospeed(&settings, B9600);
    settings.c_cflag = (settings.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB | CRTSCTS;
    settings.c_iflag |= IXON | IXOFF;
    const bool done = ::tcsetattr(fd, TCSANOW, &settings) == 0;
    ::close(fd);
    return done;
}

} // namespace

class tst_serial : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void opening_sets_19200_8n1_without_flow_control();
    void opening_refused_data();
    void opening_refused();
    void received_bytes_data();
    void received_bytes();
    void reply_timeout_data();
    void reply_timeout();
    void write_with_zero_byte_leaves_whole();
    void port_errors_data();
    void port_errors();
    void each_loss_is_reported();
    void hang_up_reports_once_without_error_storm();

private:
    bool open_link();
    // Plays the device: sends the bytes and waits until the port has announced them.
    bool device_sends(const QByteArray& bytes);
    int count_of(const QByteArray& text) const { return emissions(*spy).count(text); }

    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<QSerialPort> port;
    std::unique_ptr<Serial> serial;
    std::unique_ptr<QSignalSpy> spy;
};

void tst_serial::initTestCase()
{
    qRegisterMetaType<QSerialPort::SerialPortError>();
}

void tst_serial::init()
{
    pty = std::make_unique<PtyPair>();
    QVERIFY(pty->is_valid());
    port = std::make_unique<QSerialPort>();
    serial = std::make_unique<Serial>(port.get());
    spy = std::make_unique<QSignalSpy>(serial.get(), &Serial::buffer);
}

void tst_serial::cleanup()
{
    spy.reset();
    serial.reset();
    port.reset();
    pty.reset();
}

bool tst_serial::open_link()
{
    serial->open_port(pty->slave_path());
    const bool connected_now = port->isOpen() && emissions(*spy) == QList<QByteArray>{connected};
    spy->clear();
    return connected_now;
}

bool tst_serial::device_sends(const QByteArray& bytes)
{
    QSignalSpy ready(port.get(), &QIODevice::readyRead);
    return pty->write(bytes) && ready.wait(arrival_ms);
}

void tst_serial::opening_sets_19200_8n1_without_flow_control()
{
    QVERIFY(spoil_line_settings(pty->slave_path()));

    serial->open_port(pty->slave_path());

    QCOMPARE(emissions(*spy), QList<QByteArray>{connected});
    const termios settings = pty->slave_termios();
    QCOMPARE(::cfgetispeed(&settings), speed_t(B19200));
    QCOMPARE(::cfgetospeed(&settings), speed_t(B19200));
    QCOMPARE(settings.c_cflag & (CSTOPB | CRTSCTS), tcflag_t(0));
    QCOMPARE(settings.c_iflag & (IXON | IXOFF), tcflag_t(0));
    // The Linux pseudo-terminal driver forces eight bits without parity whatever it is asked, so
    // those two are read from what the port was told instead.
    QCOMPARE(port->dataBits(), QSerialPort::Data8);
    QCOMPARE(port->parity(), QSerialPort::NoParity);
}

void tst_serial::opening_refused_data()
{
    QTest::addColumn<bool>("held");
    QTest::addColumn<QList<QByteArray>>("expected");

    // Qt 5 guards a port with a lock file, so another opener is refused even for root.
    QTest::newRow("port held by another opener") << true << QList<QByteArray>{"Not_Permission"};
    QTest::newRow("missing port stays silent") << false << QList<QByteArray>{};
}

void tst_serial::opening_refused()
{
    QFETCH(bool, held);
    QFETCH(QList<QByteArray>, expected);
    QSerialPort holder;
    holder.setPortName(pty->slave_path());
    if (held)
        QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));

    serial->open_port(held ? pty->slave_path() : QStringLiteral("/dev/vkt-no-such-port"));
    // A report that only came later from the event loop would count too.
    QTest::qWait(50);

    QCOMPARE(emissions(*spy), expected);
    QVERIFY(!port->isOpen());
}

void tst_serial::received_bytes_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QList<QByteArray>>("expected");

    QTest::newRow("3 + 4 bytes emitted once as 7") << QList<QByteArray>{"#B_", "PR50"} << QList<QByteArray>{"#B_PR50"};
    QTest::newRow("exactly 5 bytes never emitted") << QList<QByteArray>{"#B_PR"} << QList<QByteArray>{};
    QTest::newRow("6 bytes emitted at once") << QList<QByteArray>{"#B_MAX"} << QList<QByteArray>{"#B_MAX"};
    QTest::newRow("two tokens in one chunk emitted as one")
        << QList<QByteArray>{"#B_PR(#B_ENV"} << QList<QByteArray>{"#B_PR(#B_ENV"};
    QTest::newRow("zero byte passed upward whole")
        << QList<QByteArray>{QByteArray("#B_PR\0#B_ENV", 12)} << QList<QByteArray>{QByteArray("#B_PR\0#B_ENV", 12)};
}

void tst_serial::received_bytes()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QList<QByteArray>, expected);
    QVERIFY2(open_link(), qPrintable(port->errorString()));

    for (const QByteArray& piece : pieces)
        QVERIFY(device_sends(piece));
    QTest::qWait(100);

    QCOMPARE(emissions(*spy), expected);
}

void tst_serial::reply_timeout_data()
{
    QTest::addColumn<bool>("armed");
    QTest::addColumn<QByteArray>("before_write");
    QTest::addColumn<QByteArray>("after_write");
    QTest::addColumn<bool>("times_out");

    QTest::newRow("armed, nothing ever received") << true << QByteArray() << QByteArray() << true;
    QTest::newRow("armed, last chunk begins with #") << true << QByteArray("#B_USB") << QByteArray() << false;
    QTest::newRow("armed, last chunk has # but not first") << true << QByteArray("xB_USB#") << QByteArray() << true;
    QTest::newRow("armed, five bytes are no reply") << true << QByteArray() << QByteArray("#B_PR") << true;
    QTest::newRow("disarmed") << false << QByteArray() << QByteArray() << false;
}

void tst_serial::reply_timeout()
{
    QFETCH(bool, armed);
    QFETCH(QByteArray, before_write);
    QFETCH(QByteArray, after_write);
    QFETCH(bool, times_out);
    QVERIFY2(open_link(), qPrintable(port->errorString()));
    serial->set_reply_timeout_enabled(armed);
    if (!before_write.isEmpty())
        QVERIFY(device_sends(before_write));

    QSignalSpy completed(port.get(), &QIODevice::bytesWritten);
    QElapsedTimer since_write;
    since_write.start();
    serial->write_data("#B_STR");
    QCOMPARE(pty->read_program_output(6, arrival_ms, 0), QByteArray("#B_STR"));
    // The port tells of a completed write only on a later pass of the event loop; the device
    // answers after that, or the order of the two would be left to chance.
    QTRY_VERIFY_WITH_TIMEOUT(!completed.isEmpty(), arrival_ms);
    if (!after_write.isEmpty())
        QVERIFY(device_sends(after_write));

    if (!times_out) {
        QTest::qWait(silence_ms);
        QCOMPARE(count_of(time_out), 0);
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(count_of(time_out), 1, 2 * silence_ms);
    QVERIFY2(since_write.elapsed() >= reply_timeout_floor_ms, qPrintable(QString::number(since_write.elapsed())));
    // One arming, one time-out; watching for a repeat costs another silence, so one row pays.
    if (before_write.isEmpty() && after_write.isEmpty()) {
        QTest::qWait(silence_ms);
        QCOMPARE(count_of(time_out), 1);
    }
}

void tst_serial::write_with_zero_byte_leaves_whole()
{
    QVERIFY2(open_link(), qPrintable(port->errorString()));
    const QByteArray line("S1\0\x13\xff\r", 6);

    serial->write_data(line);

    QCOMPARE(pty->read_program_output(line.size(), arrival_ms), line);
}

void tst_serial::port_errors_data()
{
    QTest::addColumn<QList<int>>("codes");
    QTest::addColumn<int>("reports");

    QTest::newRow("unknown error") << QList<int>{QSerialPort::UnknownError} << 1;
    QTest::newRow("resource error (adapter unplugged)") << QList<int>{QSerialPort::ResourceError} << 1;
    QTest::newRow("a burst of errors of one loss")
        << QList<int>{QSerialPort::UnknownError, QSerialPort::ResourceError, QSerialPort::UnknownError} << 1;
    QTest::newRow("read error while the line is still up") << QList<int>{QSerialPort::ReadError} << 0;
    QTest::newRow("write and time-out errors") << QList<int>{QSerialPort::WriteError, QSerialPort::TimeoutError} << 0;
}

void tst_serial::port_errors()
{
    QFETCH(QList<int>, codes);
    QFETCH(int, reports);
    QVERIFY2(open_link(), qPrintable(port->errorString()));

    for (int code : codes)
        QVERIFY(QMetaObject::invokeMethod(serial.get(), "error", Qt::DirectConnection, Q_ARG(int, code)));
    // Reported from the event loop, never from inside the port's own notification.
    QCOMPARE(spy->count(), 0);
    QTest::qWait(50);

    QCOMPARE(count_of(interrupted), reports);
    QCOMPARE(spy->count(), reports);
    // Nobody else closed the lost line here, so the link did.
    QCOMPARE(port->isOpen(), reports == 0);
}

void tst_serial::each_loss_is_reported()
{
    for (int loss = 1; loss <= 2; ++loss) {
        QVERIFY2(open_link(), qPrintable(port->errorString()));
        QVERIFY(QMetaObject::invokeMethod(serial.get(), "error", Qt::DirectConnection,
                                          Q_ARG(int, QSerialPort::UnknownError)));
        QTRY_COMPARE(count_of(interrupted), 1);
        QTRY_VERIFY(!port->isOpen());
        spy->clear();
    }
}

void tst_serial::hang_up_reports_once_without_error_storm()
{
    QVERIFY2(open_link(), qPrintable(port->errorString()));
    QSignalSpy errors(port.get(), &QSerialPort::errorOccurred);

    pty->hang_up();
    QTRY_COMPARE_WITH_TIMEOUT(count_of(interrupted), 1, arrival_ms);
    const int errors_at_report = errors.count();
    QTest::qWait(1000);

    QCOMPARE(count_of(interrupted), 1);
    const int later_errors = errors.count() - errors_at_report;
    QVERIFY2(later_errors < 10,
             qPrintable(QStringLiteral("%1 errors in the second after the report").arg(later_errors)));
    QVERIFY(!port->isOpen());
}

QTEST_GUILESS_MAIN(tst_serial)
#include "tst_serial.moc"
