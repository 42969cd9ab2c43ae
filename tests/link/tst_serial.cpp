#include "equipment/equipment_simulator.h"
#include "link/line_pacer.h"
#include "link/serial.h"

#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

namespace
{

QList<QByteArray> emissions(const QSignalSpy& spy)
{
    QList<QByteArray> all;
    for (const QList<QVariant>& emission : spy)
        all.append(emission.at(0).toByteArray());
    return all;
}

// The link on a pseudo-terminal, with the equipment's end held by the test.
struct Link {
    Link() : spy(&serial, &Serial::received), lost(&serial, &Serial::lost) {}
    bool open() { return device.open_pty() && serial.open_port(device.port_path()); }
    // Answers nothing of itself: the test speaks for the equipment.
    EquipmentSimulator device{[] {
        EquipmentSimulator::Options manual;
        manual.automatic = false;
        return manual;
    }()};
    Serial serial;
    QSignalSpy spy, lost;
};

} // namespace

class tst_serial : public QObject
{
    Q_OBJECT

private slots:
    void hands_on_what_arrives();
    void loss_is_reported_once();
    void pauses_about_a_second();
};

// However little arrives is handed on at once: bytes left in the port would reach the framing late, or never.
void tst_serial::hands_on_what_arrives()
{
    Link link;
    QVERIFY(link.open());
    for (const QByteArray piece : {"#", "B_U", "SB"}) {
        link.device.send(piece);
        QTRY_COMPARE(emissions(link.spy).value(link.spy.count() - 1), piece);
    }
    QCOMPARE(link.spy.count(), 3);
}

void tst_serial::loss_is_reported_once()
{
    Link link;
    QVERIFY(link.open());
    link.device.hang_up();
    QTRY_COMPARE(link.lost.count(), 1);
    QTest::qWait(300);
    QCOMPARE(link.lost.count() + link.spy.count(), 1);
    QVERIFY(!link.serial.is_open());
}

// The timer takes seconds and nanoseconds: once the pacer has learned to wake early, pauses about a second still end.
void tst_serial::pauses_about_a_second()
{
    LinePacer pacer;
    QSignalSpy due(&pacer, &LinePacer::due);
    for (const int ms : {3, 3, 3, 1000, 1001}) {
        pacer.start(ms);
        QVERIFY2(due.wait(ms + 2000), qPrintable(QString::number(ms)));
    }
}

QTEST_GUILESS_MAIN(tst_serial)
#include "tst_serial.moc"
