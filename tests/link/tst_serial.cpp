#include "equipment/equipment_simulator.h"
#include "link/serial.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

namespace
{

QList<QByteArray> emissions(const QSignalSpy& spy)
{
    QList<QByteArray> all;
    for (const QList<QVariant>& emission : spy)
        all.append(emission.at(0).toByteArray());
    return all;
}

EquipmentSimulator::Options recording_only()
{
    EquipmentSimulator::Options options;
    options.automatic = false;
    return options;
}

// The link on a pseudo-terminal, with the equipment's end held by the test.
struct Link {
    Link() : spy(&serial, &Serial::buffer) {}
    bool open()
    {
        serial.set_reply_timeout_ms(200);
        serial.open_port(device.port_path());
        return emissions(spy) == QList<QByteArray>{"Conectado"};
    }
    EquipmentSimulator device{recording_only()};
    Serial serial;
    QSignalSpy spy;
};

} // namespace

class tst_serial : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        link = std::make_unique<Link>();
        QVERIFY(link->device.open_pty());
    }
    void cleanup() { link.reset(); }
    void opening();
    void received_data();
    void received();
    void reply_timeout_data();
    void reply_timeout();
    void loss_is_reported_once();

private:
    std::unique_ptr<Link> link;
};

void tst_serial::opening()
{
    // A port that is not there is no news for the operator.
    link->serial.open_port(QStringLiteral("/dev/no-such-port"));
    QCOMPARE(link->spy.count(), 0);

    QVERIFY(link->open());
    QCOMPARE(link->device.line_baud(), 19200);
    // Written whole, a zero byte included.
    link->serial.write_data(QByteArray("S1\0x\r", 5));
    QTRY_COMPARE(link->device.lines_of(-1), QList<QByteArray>{QByteArray("S1\0x\r", 5)});
}

void tst_serial::received_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QList<QByteArray>>("emitted");
    QTest::newRow("3 + 4 bytes emitted once as 7") << QList<QByteArray>{"#B_", "PR50"} << QList<QByteArray>{"#B_PR50"};
    QTest::newRow("5 bytes wait for more") << QList<QByteArray>{"#B_PR"} << QList<QByteArray>{};
    QTest::newRow("two tokens in one delivery, one emission")
        << QList<QByteArray>{"#B_PR\x10#B_ENV"} << QList<QByteArray>{"#B_PR\x10#B_ENV"};
    QTest::newRow("zero byte passed upward")
        << QList<QByteArray>{QByteArray("#B_PR\0", 6)} << QList<QByteArray>{QByteArray("#B_PR\0", 6)};
}

void tst_serial::received()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QList<QByteArray>, emitted);
    QVERIFY(link->open());
    link->spy.clear();
    for (const QByteArray& piece : pieces)
        link->device.send(piece);
    QTest::qWait(150);
    QCOMPARE(emissions(link->spy), emitted);
}

void tst_serial::reply_timeout_data()
{
    QTest::addColumn<bool>("armed");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("times_out");
    QTest::newRow("armed, nothing received") << true << QByteArray() << true;
    QTest::newRow("armed, last reply begins with #") << true << QByteArray("#B_USB") << false;
    QTest::newRow("armed, # not first") << true << QByteArray("xB_USB#") << true;
    QTest::newRow("disarmed") << false << QByteArray() << false;
}

void tst_serial::reply_timeout()
{
    QFETCH(bool, armed);
    QFETCH(QByteArray, reply);
    QFETCH(bool, times_out);
    QVERIFY(link->open());
    if (!reply.isEmpty()) {
        link->device.send(reply);
        QTRY_COMPARE(link->spy.count(), 2);
    }
    link->serial.set_reply_timeout_enabled(armed);
    link->serial.write_data("#B_STR");
    QTest::qWait(500);
    QCOMPARE(emissions(link->spy).count("TimeOut"), times_out ? 1 : 0);
}

void tst_serial::loss_is_reported_once()
{
    QVERIFY(link->open());
    link->spy.clear();
    link->device.hang_up();
    QTRY_COMPARE(emissions(link->spy), QList<QByteArray>{"Serial_Interrupted"});
    QTest::qWait(300);
    QCOMPARE(link->spy.count(), 1);
    QVERIFY(!link->serial.is_open());
}

QTEST_GUILESS_MAIN(tst_serial)
#include "tst_serial.moc"
