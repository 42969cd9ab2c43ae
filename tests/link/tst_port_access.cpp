#include "equipment/equipment_simulator.h"
#include "link/port_access.h"
#include "support/window_under_test.h"

#include <QFileInfo>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class tst_port_access : public QObject
{
    Q_OBJECT

private slots:
    void notice_data();
    void notice();
    void denied_opening_names_the_owning_group();
};

void tst_port_access::notice_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<bool>("denied");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QString>("group");
    QTest::addColumn<QString>("notice");

    const QString busy = QString::fromUtf8("Outro dispositivo já está conectado a esta porta COM");
    const QString denied =
        QString::fromUtf8("Sem permissão na porta: inclua o usuário no grupo %1 e entre de novo na sessão");
    const QString not_found = QString::fromUtf8("Porta não encontrada ou não pôde ser aberta");
    QTest::newRow("user may open it: another program holds it") << true << false << true << "dialout" << busy;
    QTest::newRow("denied: the owning group is named") << true << true << true << "uucp" << denied.arg("uucp");
    QTest::newRow("denied, group without a name")
        << true << true << true << QString() << denied.arg("dono do dispositivo");
    // A name too long for the system is refused like a taken port, yet names nothing.
    QTest::newRow("no such device, refused") << false << false << true << QString() << not_found;
    QTest::newRow("no such device") << false << false << false << QString() << not_found;
    QTest::newRow("a file that is no serial port") << true << false << false << "root" << not_found;
}

void tst_port_access::notice()
{
    QFETCH(bool, exists);
    QFETCH(bool, denied);
    QFETCH(bool, refused);
    QFETCH(QString, group);
    QFETCH(QString, notice);

    QCOMPARE(port_access::refusal_notice({denied, group, exists}, refused), notice);
}

void tst_port_access::denied_opening_names_the_owning_group()
{
    EquipmentSimulator pty;
    QVERIFY(pty.open_pty());
    WindowUnderTest ui;
    QCOMPARE(chmod(qPrintable(pty.port_path()), 0), 0);
    // Root opens any file, so as root the opening runs as nobody, keeping root as the saved id to come back; access
    // checks go by the real id, so that one changes too.
    const bool root = geteuid() == 0;
    const bool dropped = !root || (setresgid(65534, 65534, 0) == 0 && setresuid(65534, 65534, 0) == 0);
    const bool denied = dropped && !QFileInfo(pty.port_path()).isReadable();
    const bool connected = denied && ui.connect_to(pty.port_path());
    if (root && (setresuid(0, 0, 0) != 0 || setresgid(0, 0, 0) != 0))
        qFatal("could not return to root");
    if (!denied)
        QSKIP("cannot become a user the pseudo-terminal refuses: the denied opening is not exercised");

    QVERIFY(!connected);
    QCOMPARE(ui.text("info"), port_access::refusal_notice({true, QFileInfo(pty.port_path()).group()}, true));
}

QTEST_MAIN(tst_port_access)
#include "tst_port_access.moc"
