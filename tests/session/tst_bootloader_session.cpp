// The protocol's decisions as a table: every input in every phase has exactly one, and the ones that matter most are
// held against what they send, set and show.
#include "session/bootloader_session.h"

#include <QtTest>

using namespace session;
Q_DECLARE_METATYPE(Phase)
Q_DECLARE_METATYPE(Event)

namespace
{

const char* const timer_names[] = {"reply", "guard", "silence", "tick", "wait", "pause"};
const char* const step_names[] = {"cleared",   "announced", "sending",      "programming",
                                  "finishing", "file_done", "package_done", "failed"};

QString text_of(const Command& c)
{
    using K = Command::Kind;
    switch (c.kind) {
    case K::send:
        return "send " + c.token;
    case K::send_line:
        return QString("line %1").arg(c.value);
    case K::set_rate:
        return QString("rate %1").arg(c.value);
    case K::close_port:
        return "close";
    case K::reopen_port:
        return "reopen";
    case K::start_timer:
        return QString("start %1 %2").arg(timer_names[int(c.timer)]).arg(c.value);
    case K::stop_timer:
        return QString("stop %1").arg(timer_names[int(c.timer)]);
    case K::load_file:
        return QString("load %1").arg(c.value);
    case K::release_file:
        return "release";
    case K::remove_files:
        return "remove";
    case K::withdraw_consent:
        return "withdraw";
    case K::begin_run:
        return "begin";
    case K::show:
        return QString("show %1 %2 %3").arg(step_names[int(c.step)], c.text).arg(c.value);
    case K::silent_for:
        return QString("silent %1").arg(c.value);
    case K::port_lost:
        return c.value ? "lost after the update" : "lost " + c.text;
    case K::end:
        return QString("end %1 %2").arg(bootloader_protocol::end_class_name(c.end), c.outcome);
    case K::note:
        return "note " + c.text;
    case K::note_timeout:
        return "timeout";
    }
    return QString();
}

Event input(Input in)
{
    return {in, {}, {}, {}};
}

Event answer(const QByteArray& bytes)
{
    return Event::answer(bytes, !bytes.startsWith("#B_"));
}

// Two files, the event board's last, through every phase there is: a UART link with a reset, then a USB one.
const QList<Event> whole_package = {{Input::package_opened, {}, {{2, false}, {1, true}}, {}},
                                    input(Input::file_loaded),
                                    input(Input::consent),
                                    answer("#B_UAR"),
                                    input(Input::rate_set),
                                    answer("#B_MAX"),
                                    input(Input::line_taken),
                                    input(Input::pause_over),
                                    input(Input::line_taken),
                                    input(Input::pause_over),
                                    answer("#B_RST"),
                                    input(Input::wait_over),
                                    input(Input::port_back),
                                    answer("#B_BOK"),
                                    input(Input::wait_over),
                                    input(Input::file_loaded),
                                    answer("#B_USB"),
                                    answer("#B_MAX"),
                                    input(Input::line_taken),
                                    input(Input::pause_over),
                                    answer("#B_BOK"),
                                    input(Input::wait_over),
                                    input(Input::port_back),
                                    input(Input::wait_over)};

// The session as it first reaches the phase along the whole package, the clock 10 ms a step.
qint64 reach(BootloaderSession& session, Phase phase)
{
    qint64 now = 0;
    for (int i = 0; i < whole_package.size() && session.phase() != phase; ++i)
        session.handle(whole_package.at(i), now += 10);
    return now;
}

} // namespace

class tst_bootloader_session : public QObject
{
    Q_OBJECT

private slots:
    void every_cell_has_one_decision();
    void decisions_data();
    void decisions();
    void time_left();
};

void tst_bootloader_session::every_cell_has_one_decision()
{
    for (int p = 0; p < phase_count; ++p) {
        for (int i = 0; i < input_count; ++i)
            QVERIFY2(BootloaderSession::rows_for(Input(i), Phase(p)) == 1,
                     qPrintable(QString("input %1 in %2").arg(i).arg(phase_name(Phase(p)))));
    }
}

void tst_bootloader_session::decisions_data()
{
    QTest::addColumn<Phase>("phase");
    QTest::addColumn<Event>("event");
    QTest::addColumn<int>("after_ms");
    QTest::addColumn<Phase>("then");
    QTest::addColumn<QStringList>("commands");
    const auto row = [](const char* name, Phase phase, const Event& event, Phase then, const QStringList& commands,
                        int after_ms = 10) { QTest::newRow(name) << phase << event << after_ms << then << commands; };
    const QString crc = "show failed Erro de Checksum! 0";
    row("no line before consent", Phase::ready, answer("#B_MAX"), Phase::ready, {"note ignored #B_MAX while ready"});
    row("no success after the package", Phase::done, answer("#B_BOK"), Phase::done, {"note ignored #B_BOK while done"});
    row("a failure still ends a package waiting for consent", Phase::ready, answer("#B_CRC"), Phase::idle,
        {"release", "withdraw", "remove", crc});
    row("consent sends the start", Phase::ready, input(Input::consent), Phase::starting,
        {"begin", "send #B_STR", "start silence 300000", "start tick 1000", "start reply 2000"});
    row("nothing to consent to", Phase::idle, input(Input::consent), Phase::idle, {"note ignored consent while idle"});
    row("USB announced", Phase::starting, answer("#B_USB"), Phase::announced,
        {"stop reply", "start silence 300000", "start tick 1000", "show announced Bootloader Iniciado 1",
         "start silence 300000", "start tick 1000", "start guard 2000"});
    row("UART: the rate first", Phase::starting, answer("#B_UAR"), Phase::rating,
        {"stop reply", "start silence 300000", "start tick 1000", "show announced Bootloader Iniciado 1",
         "stop silence", "stop tick", "rate 38400"});
    row("a rate refused is tried again", Phase::rating, input(Input::rate_refused), Phase::rating, {"start wait 0"});
    row("a rate refused past the bound", Phase::rating, input(Input::rate_refused), Phase::idle,
        {"release", "withdraw", "remove", "rate 19200", "show failed Conexão com o equipamento perdida! 0",
         "end link_lost Conexão com o equipamento perdida!", "lost Conexão com o equipamento perdida!", "close"},
        2000);
    row("the data requested", Phase::announced, answer("#B_MAX"), Phase::sending,
        {"start silence 300000", "start tick 1000", "stop guard", "stop silence", "stop tick", "line 0"});
    row("the request again before the second line", Phase::sending, answer("#B_MAX"), Phase::sending,
        {"note data request again before the second line: the first answers both"});
    row("the pause after a line", Phase::sending, input(Input::line_taken), Phase::sending, {"start pause 25"});
    row("a progress of 0 keeps the rate", Phase::sending, answer(QByteArray("#B_PR\0", 6)), Phase::sending,
        {"show sending Enviando dados... 0"});
    row("a progress byte over 100 is no percentage", Phase::sending, answer("#B_PR\xC8"), Phase::sending,
        {"note progress byte 200 is no percentage: not shown"});
    row("a failure stops the sending", Phase::sending, answer("#B_CRC"), Phase::idle,
        {"release", "withdraw", "remove", "rate 19200", crc, "end device_failure Erro de Checksum!"});
    row("confirmed", Phase::programming, answer("#B_BOK"), Phase::file_done,
        {"start silence 300000", "start tick 1000", "rate 19200", "show file_done Operação realizada com Sucesso! 100",
         "stop silence", "stop tick", "start wait 1000"});
    row("reset", Phase::programming, answer("#B_RST"), Phase::resetting,
        {"start silence 300000", "start tick 1000", "close", "stop silence", "stop tick", "start wait 50"});
    row("what comes in a wait is held", Phase::resetting, answer("#B_CRC"), Phase::resetting, {});
    row("not back: tried again, said once", Phase::resetting, input(Input::port_not_back), Phase::resetting,
        {"note port not back: tried again every 10 ms for up to 2000 ms", "start wait 10"});
    row("the next file", Phase::file_done, input(Input::wait_over), Phase::file_done, {"load 1"});
    row("the event board restarts the equipment", Phase::restarting, input(Input::wait_over), Phase::restarting,
        {"reopen"});
    row("silent too long", Phase::announced, input(Input::guard_expired), Phase::idle,
        {"stop guard", "stop silence", "stop tick", "release", "withdraw", "remove", "rate 19200",
         "show failed Dispositivo Incompatível! 0", "end timeout Dispositivo Incompatível!"});
    row("no answer to the start", Phase::starting, input(Input::reply_expired), Phase::idle,
        {"timeout", "stop reply", "stop silence", "stop tick", "release", "withdraw", "remove", "rate 19200",
         "show failed TimeOut 0", "end timeout TimeOut"});
    row("a silence told of", Phase::starting, input(Input::silence_tick), Phase::starting,
        {"start tick 1000", "silent 5"}, 5000);
    row("the line gone after the package", Phase::done, input(Input::link_lost), Phase::idle,
        {"withdraw", "remove", "close", "lost after the update"});
    row("the line gone mid-file", Phase::sending, input(Input::link_lost), Phase::idle,
        {"release", "withdraw", "remove", "rate 19200", "show failed Comunicação interrompida! 0",
         "end link_lost Comunicação interrompida!", "lost Comunicação interrompida!", "close"});
    row("disconnected", Phase::programming, {Input::disconnect, {}, {}, "SIGTERM"}, Phase::idle,
        {"rate 19200", "show cleared  0", "stop silence", "stop tick", "withdraw", "remove", "close",
         "end stopped stopped: SIGTERM"});
    row("another package opened", Phase::file_done, input(Input::new_package), Phase::idle,
        {"stop wait", "withdraw", "remove", "rate 19200", "show cleared  0",
         "end stopped stopped: another package was opened"});
}

void tst_bootloader_session::decisions()
{
    QFETCH(Phase, phase);
    QFETCH(Event, event);
    QFETCH(int, after_ms);
    QFETCH(Phase, then);
    QFETCH(QStringList, commands);
    BootloaderSession session;
    const qint64 now = reach(session, phase);
    QCOMPARE(session.phase(), phase);
    QStringList done;
    for (const Command& command : session.handle(event, now + after_ms))
        done << text_of(command);
    QVERIFY2(done == commands, qPrintable(done.join(" | ")));
    QCOMPARE(session.phase(), then);
}

// The least time left, from the lines still to send and the protocol's waits, a wait under way for what is left of it.
void tst_bootloader_session::time_left()
{
    bootloader_protocol::Waits waits;
    waits.confirm_pause_ms = 1000;
    waits.event_port_pause_ms = 5000;
    BootloaderSession session(waits);
    const struct {
        Phase phase;
        qint64 ms; // -1: unknown
    } expected[] = {{Phase::starting, -1},
                    {Phase::announced, 3 * 25 + 2 * 1000 + 5000},
                    {Phase::file_done, 1 * 25 + 1000 + 5000 + 1000 - 10},
                    {Phase::restarting, 5000 - 10 + 1000}};
    for (const auto& at : expected) {
        const qint64 now = reach(session, at.phase);
        QCOMPARE(session.least_ms_left(now + 10), at.ms);
    }
}

QTEST_APPLESS_MAIN(tst_bootloader_session)
#include "tst_bootloader_session.moc"
