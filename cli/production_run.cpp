#include "cli/production_run.h"

#include "cli/console.h"
#include "cli/exit_codes.h"
#include "cli/json_events.h"
#include "cli/signing_commands.h"
#include "engine/unit_report.h"
#include "rules/board_name.h"
#include "rules/package_rules.h"
#include "servicelog/service_log.h"
#include "servicelog/unit_record.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace protocol = bootloader_protocol;
using protocol::EndClass;

namespace
{

// The warning dialog's texts (widgets/popup.ui), each on one line. The form keeps its own copies, broken where its
// labels need them, so that the dialog can still be edited in Qt Designer.
const char* const warnings[] = {
    "- Não desligue o equipamento durante a atualização!",
    "- Não interrompa a comunicação!",
    "- Certifique-se que o cartão SD está conectado (Se Houver)",
};
const char* const consent_question = "Iniciar a atualização de %1 em %2? [s/N] ";
const char* const consent_words[] = {"s", "sim", "y", "yes"};
const char* const stopped_text = "Atualização interrompida (%1)";
const char* const estimate_note = "≥: tempo mínimo (envio e pausas do protocolo; sem a gravação do equipamento)";

// Often enough for a counter that moves every second, seldom enough that a slow terminal never lags the transfer.
constexpr int redraw_ms = 200;
// "#B_END" leaves through the port's write notifier on a later pass of the event loop: closing the port at once
// would drop it from the buffer.
constexpr int end_grace_ms = 200;

QString plural(int count, const char* one, const char* many)
{
    return QStringLiteral("%1 %2").arg(count).arg(QString::fromUtf8(count == 1 ? one : many));
}

QString clock_text(int seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

ProductionRun::ProductionRun(const RunOptions& run_options, QObject* parent)
    : QObject(parent), options(run_options), view(options.json                   ? View::json
                                                  : console::is_terminal(stdout) ? View::terminal
                                                                                 : View::lines),
      history(options.history)
{
    redraw.setInterval(redraw_ms);
    connect(&redraw, &QTimer::timeout, this, &ProductionRun::draw);
}

ProductionRun::~ProductionRun() = default;

void ProductionRun::begin()
{
    units.resize(static_cast<size_t>(options.ports.size()));
    for (int i = 0; i < options.ports.size(); ++i) {
        Unit& unit = units[static_cast<size_t>(i)];
        unit.port = options.ports.at(i);
        unit.named = options.named_ports.value(i, unit.port);
        unit.engine = std::make_unique<UpdateEngine>(ServiceLog::default_folder());
        unit.engine->set_waits(options.waits);
        watch(unit);
        // The unit's history row, written when it starts and closed with its record.
        history.follow(*unit.engine, unit.named, options.unit_serials.value(i));
    }

    // Every unit unpacks its own copy, so that each can remove its own at its end.
    for (Unit& unit : units) {
        const UpdateEngine::PackageOpening opening = unit.engine->open_package(options.package, options.package_bytes);
        if (!opening.accepted) {
            refuse(exit_codes::package_refused,
                   {{QString(), opening.refusal.isEmpty() ? unit.stage.text : opening.refusal}});
            return;
        }
        unit.stage.files = unit.engine->file_count();
        unit.stage.counter = unit.engine->counter();
    }

    QList<QPair<QString, QString>> refused;
    for (Unit& unit : units) {
        QString notice;
        const QMetaObject::Connection heard =
            connect(unit.engine.get(), &UpdateEngine::port_refused, this, [&notice](const QString& n) { notice = n; });
        unit.engine->open_port(unit.port);
        disconnect(heard);
        if (!unit.engine->is_open())
            refused.append({unit.named, notice});
    }
    if (!refused.isEmpty()) {
        refuse(exit_codes::port_not_opened, refused);
        return;
    }
    ask_consent();
}

void ProductionRun::watch(Unit& unit)
{
    UpdateEngine* engine = unit.engine.get();
    connect(engine, &UpdateEngine::stage, this, [this, &unit](const UpdateEngine::Stage& s) { on_stage(unit, s); });
    connect(engine, &UpdateEngine::ended, this,
            [this, &unit](EndClass end, const QString& text) { on_ended(unit, end, text); });
    connect(engine, &UpdateEngine::silent_for, this, [this, &unit](int seconds) {
        const bool began = unit.silent_s == 0 && seconds > 0;
        unit.silent_s = seconds;
        const QString text = QStringLiteral("sem resposta há %1 s").arg(seconds);
        if (view == View::json && seconds > 0)
            json_event(unit, "silent", text);
        else if (view == View::lines && began)
            say(QStringLiteral("%1 %2 %3")
                    .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), unit.port, text));
    });
    connect(engine, &UpdateEngine::port_lost, this, [this, &unit](const QString& notice, bool after_update) {
        // Once started, the run's own ending tells it; before, nobody else would.
        if (!after_update && phase == Phase::asking)
            refuse(exit_codes::link_lost, {{unit.named, notice}});
    });
}

void ProductionRun::ask_consent()
{
    phase = Phase::asking;
    if (!options.yes && !console::is_terminal(stdin)) {
        refuse(exit_codes::usage,
               {{QString(), QStringLiteral("no terminal to ask for consent; give --yes to start without asking")}});
        return;
    }
    FILE* prompt = stderr;
    console::write_line(prompt, QStringLiteral("Equipamento: %1").arg(board_name::equipment_name(options.package)));
    // A verified signature's trusted comment: the operator reads a signed name, not only the file's.
    if (options.package_bytes.verdict.state == package_trust::State::verified)
        console::write_line(prompt, signing_commands::consent_line(options.package_bytes.verdict));
    for (const char* warning : warnings)
        console::write_line(prompt, QString::fromUtf8(warning));
    // A unit the history holds a success of with this package is told of before the question, and updated all the same.
    for (Unit& unit : units) {
        const QString seen = history.seen_before(*unit.engine, options.package);
        if (!seen.isEmpty())
            console::write_line(prompt, QStringLiteral("vkt-update: ") + seen);
        if (!seen.isEmpty() && view == View::json)
            json_event(unit, "seen_before", seen);
    }
    if (options.yes) {
        start_units();
        return;
    }
    const QString units_text = plural(static_cast<int>(units.size()), "unidade", "unidades");
    console::write(
        prompt,
        QString::fromUtf8(consent_question).arg(package_rules::file_name(options.package), units_text).toUtf8());
    answer = new ConsoleAnswer(this);
    connect(answer, &ConsoleAnswer::answered, this, &ProductionRun::consent_given);
    answer->ask();
}

void ProductionRun::consent_given(const QString& text, bool closed)
{
    if (phase != Phase::asking)
        return;
    for (const char* word : consent_words) {
        if (!closed && text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0) {
            start_units();
            return;
        }
    }
    refuse(exit_codes::stopped, {{QString(), QStringLiteral("not started")}});
}

void ProductionRun::start_units()
{
    phase = Phase::running;
    if (view == View::terminal) {
        say(QString::fromUtf8(estimate_note));
        draw();
        redraw.start();
    }
    for (Unit& unit : units) {
        unit.engine->start();
        if (view == View::json)
            json_event(unit, "started", options.package);
    }
}

void ProductionRun::on_stage(Unit& unit, const UpdateEngine::Stage& stage)
{
    // The engine clears its status when a run is torn down; the ending says what happened.
    if (stage.text.isEmpty())
        return;
    unit.stage = stage;
    unit.since_stage.start();
    if (phase != Phase::running)
        return;
    if (view == View::json) {
        json_event(unit, "stage", stage.text);
        return;
    }
    const QString shown = stage.counter + stage.text;
    if (view == View::lines && shown != unit.shown) {
        unit.shown = shown;
        say(QStringLiteral("%1 %2%3 %4")
                .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), unit.port, stage.counter, stage.text));
    }
}

void ProductionRun::on_ended(Unit& unit, EndClass end, const QString& text)
{
    if (unit.ended)
        return;
    unit.ended = true;
    unit.end = end;
    unit.code = exit_codes::of(end);
    unit.silent_s = 0;
    // The engine tells its log why it stopped; the operator and the record read who stopped it.
    UnitRecord record =
        unit_report::record_of(*unit.engine, unit.named, end,
                               end == EndClass::stopped ? QString::fromUtf8(stopped_text).arg(stop_reason) : text);
    record.exit_code = unit.code;
    unit.end_text = record.end_text;
    QString why;
    unit.record_lost = !unit_record::append(options.report_path, record, &why);
    if (unit.record_lost)
        console::write_line(stderr, QStringLiteral("vkt-update: the record of %1 was not written to %2: %3")
                                        .arg(unit.port, options.report_path, why));
    history.unit_ended(*unit.engine, record);

    if (view == View::json)
        json_event(unit, "end", unit.end_text, unit.code);
    if (view == View::json && unit.record_lost)
        json_event(unit, "record_lost", why);
    else if (view == View::lines)
        say(QStringLiteral("%1 %2%3 fim: %4 (%5, código %6)")
                .arg(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), unit.port, unit.stage.counter,
                     unit.end_text, QLatin1String(protocol::end_class_name(end)), QString::number(unit.code)));

    if (!std::all_of(units.begin(), units.end(), [](const Unit& u) { return u.ended; }))
        return;
    phase = Phase::closing;
    if (stop_reason.isEmpty())
        QTimer::singleShot(end_grace_ms, this, &ProductionRun::finish);
    else
        QMetaObject::invokeMethod(this, &ProductionRun::finish, Qt::QueuedConnection);
}

void ProductionRun::stop(const QString& why)
{
    if (phase == Phase::asking) {
        refuse(exit_codes::stopped, {{QString(), QStringLiteral("stopped by %1 before the start").arg(why)}});
        return;
    }
    if (phase != Phase::running)
        return;
    stop_reason = why;
    // Every unit at once, before any ending is reported, so that no unit sends another line meanwhile.
    for (Unit& unit : units)
        unit.engine->close_port(why);
}

void ProductionRun::refuse(int code, const QList<QPair<QString, QString>>& causes)
{
    if (phase == Phase::done)
        return;
    phase = Phase::done;
    for (Unit& unit : units)
        unit.engine->close_port();
    for (const auto& [port, text] : causes) {
        const QString line = port.isEmpty() ? text : QStringLiteral("%1: %2").arg(port, text);
        console::write_line(stderr, QStringLiteral("vkt-update: %1; nothing was sent").arg(line));
        if (view == View::json)
            json_events::print_refusal(port, text, code);
    }
    QMetaObject::invokeMethod(
        this, [this, code] { emit finished(code); }, Qt::QueuedConnection);
}

void ProductionRun::finish()
{
    // The units' history rows and the commands after them are done before the summary.
    if (!history.settled()) {
        QTimer::singleShot(end_grace_ms, this, &ProductionRun::finish);
        return;
    }
    redraw.stop();
    if (view == View::terminal)
        draw();
    for (Unit& unit : units)
        unit.engine->close_port();
    phase = Phase::done;
    print_summary();
    const auto failed =
        std::find_if(units.begin(), units.end(), [](const Unit& unit) { return unit.code != exit_codes::updated; });
    const bool record_lost = std::any_of(units.begin(), units.end(), [](const Unit& unit) { return unit.record_lost; });
    emit finished(failed != units.end() ? failed->code : record_lost ? exit_codes::record_lost : exit_codes::updated);
}

void ProductionRun::json_event(const Unit& unit, const char* kind, const QString& text, int code)
{
    const PortIdentity& device = unit.engine->adapter();
    QJsonObject object = json_events::event(
        kind, unit.named, device.system_location.isEmpty() ? device.name : device.system_location, text, unit.stage);
    if (code >= 0)
        object.insert(QStringLiteral("exit_code"), code);
    if (unit.ended) {
        object.insert(QStringLiteral("end_class"), QLatin1String(protocol::end_class_name(unit.end)));
        object.insert(QStringLiteral("service_log"), unit.engine->service_log_file());
    }
    if (unit.record_lost)
        object.insert(QStringLiteral("reports_file"), options.report_path);
    json_events::print(object);
}

void ProductionRun::draw()
{
    int port_width = 0;
    for (const Unit& unit : units)
        port_width = std::max(port_width, static_cast<int>(unit.port.size()));
    QByteArray frame;
    // Back to the first unit's line, then each line cleared and written again.
    if (drawn_lines > 0)
        frame += "\x1b[" + QByteArray::number(drawn_lines) + 'A';
    // A line longer than the terminal would wrap, and the cursor would no longer climb back to the first unit.
    const int columns = console::columns();
    for (const Unit& unit : units)
        frame += "\r\x1b[2K" + progress_line(unit, port_width).left(columns > 1 ? columns - 1 : -1).toUtf8() + '\n';
    drawn_lines = static_cast<int>(units.size());
    console::write(stdout, frame);
}

QString ProductionRun::progress_line(const Unit& unit, int port_width) const
{
    QString line = QStringLiteral("%1 %2 ").arg(unit.port, -port_width).arg(unit.stage.counter.trimmed(), -9);
    if (unit.ended) {
        const QString outcome = unit.code == exit_codes::updated ? QStringLiteral("OK")
                                : unit.end == EndClass::stopped  ? QStringLiteral("INTERROMPIDO")
                                                                 : QStringLiteral("FALHA");
        return line + QStringLiteral("%1 %2").arg(outcome, unit.end_text);
    }
    line += QStringLiteral("%1 %2 %").arg(unit.stage.text, -32).arg(unit.stage.progress, 3);
    if (unit.silent_s > 0)
        return line + QStringLiteral("  sem resposta há %1 s").arg(unit.silent_s);
    const int left = unit.engine->seconds_left();
    if (left >= 0)
        line += QStringLiteral("  ≥ %1").arg(clock_text(left));
    return line;
}

void ProductionRun::print_summary()
{
    int updated = 0, failed = 0, stopped = 0;
    for (const Unit& unit : units) {
        if (unit.code == exit_codes::updated)
            ++updated;
        else if (unit.end == EndClass::stopped)
            ++stopped;
        else
            ++failed;
    }
    QStringList parts{plural(updated, "atualizado", "atualizados")};
    if (failed > 0)
        parts << QStringLiteral("%1 com falha").arg(failed);
    if (stopped > 0)
        parts << plural(stopped, "interrompido", "interrompidos");
    say(parts.join(QStringLiteral(", ")));
    for (const Unit& unit : units) {
        if (unit.code != exit_codes::updated)
            say(QStringLiteral("  %1: %2 (%3, código %4)")
                    .arg(unit.port, unit.end_text, QLatin1String(protocol::end_class_name(unit.end)),
                         QString::number(unit.code)));
    }
}

void ProductionRun::say(const QString& text) const
{
    console::write_line(view == View::json ? stderr : stdout, text);
}
