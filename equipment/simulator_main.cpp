// Plays the equipment's bootloader for the update tool, so that a package can be proven before it goes to the
// field and technicians can train without hardware. It checks every file it receives the way a careful
// bootloader would and prints one summary per file.

#include "equipment/equipment_simulator.h"
#include "rules/bootloader_protocol.h"
#include "rules/package_check.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>
#include <QTimer>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace
{

// Exit statuses, so that a script can tell a sound package from a broken one.
constexpr int exit_sound = 0;
constexpr int exit_problems = 1;
constexpr int exit_usage = 2;

void say(FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fputc('\n', stream);
    // A program reading the output through a pipe must see each line as it happens.
    std::fflush(stream);
}

// FILE and LINE as the technician counts them, from 1; the simulator counts files from 0.
bool parse_place(const QString& value, int parts_min, int parts_max, QStringList* parts, int* file, int* line)
{
    *parts = value.split(QLatin1Char(':'));
    if (parts->size() < parts_min || parts->size() > parts_max)
        return false;
    bool ok = false;
    *file = parts->at(0).toInt(&ok) - 1;
    if (!ok || *file < 0)
        return false;
    if (line) {
        *line = parts->at(1).toInt(&ok);
        if (!ok || *line < 1)
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
#ifdef Q_OS_UNIX
    // Piped into `head`, or left by a closed terminal, the tool plays on: a write to a closed stdout then
    // fails instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vkt_equipment_sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Plays the equipment's bootloader on a new pseudo-terminal (its path is printed on the first line) or on "
        "a serial port, and checks every file the update tool sends. Files and lines count from 1; the header's "
        "four lines are lines 1 to 4."));
    const QCommandLineOption help_option = parser.addHelpOption();
    const QCommandLineOption version_option = parser.addVersionOption();
    const QCommandLineOption port_option(QStringLiteral("port"), QStringLiteral("Use this serial port."),
                                         QStringLiteral("NAME"));
    const QCommandLineOption uart_option(QStringLiteral("uart"),
                                         QStringLiteral("Announce a UART link (38400 baud data phase)."));
    const QCommandLineOption fail_option(QStringLiteral("fail-after"),
                                         QStringLiteral("Report a failure after that line (default #B_CRC)."),
                                         QStringLiteral("FILE:LINE[:TOKEN]"));
    const QCommandLineOption reset_option(
        QStringLiteral("reset"), QStringLiteral("Reset (#B_RST) after that file's data."), QStringLiteral("FILE"));
    const QCommandLineOption silent_option(QStringLiteral("silent"),
                                           QStringLiteral("Answer nothing from that file on."), QStringLiteral("FILE"));
    const QCommandLineOption hang_up_option(QStringLiteral("hang-up"), QStringLiteral("Lose the link after that line."),
                                            QStringLiteral("FILE:LINE"));
    const QCommandLineOption keep_option(QStringLiteral("keep-going"),
                                         QStringLiteral("Stay after #B_END for another package."));
    parser.addOptions(
        {port_option, uart_option, fail_option, reset_option, silent_option, hang_up_option, keep_option});
    // process() would end an unknown option with status 1, which here means a package with problems.
    if (!parser.parse(app.arguments())) {
        say(stderr, parser.errorText() + QStringLiteral(" See --help."));
        return exit_usage;
    }
    if (parser.isSet(help_option) || parser.isSet(QStringLiteral("help-all"))) {
        std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
        return exit_sound;
    }
    if (parser.isSet(version_option)) {
        say(stdout, QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion());
        return exit_sound;
    }
    if (!parser.positionalArguments().isEmpty()) {
        say(stderr, QStringLiteral("Unexpected argument '%1': the tool plays the equipment and takes no package; to "
                                   "check a package, run vkt-update --check PACKAGE.")
                        .arg(parser.positionalArguments().first()));
        return exit_usage;
    }

    EquipmentSimulator::Options options;
    options.link = parser.isSet(uart_option) ? EquipmentSimulator::Link::uart : EquipmentSimulator::Link::usb;
    QStringList parts;
    bool usable = true;
    if (parser.isSet(fail_option)) {
        usable &= parse_place(parser.value(fail_option), 2, 3, &parts, &options.fail_file, &options.fail_after_line);
        // An empty token would answer nothing, and the program would wait for ever.
        if (usable && parts.size() == 3) {
            usable = !parts.at(2).isEmpty();
            options.fail_token = parts.at(2).toLatin1();
        }
    }
    if (parser.isSet(reset_option))
        usable &= parse_place(parser.value(reset_option), 1, 1, &parts, &options.reset_file, nullptr);
    if (parser.isSet(silent_option))
        usable &= parse_place(parser.value(silent_option), 1, 1, &parts, &options.silent_file, nullptr);
    if (parser.isSet(hang_up_option)) {
        usable &=
            parse_place(parser.value(hang_up_option), 2, 2, &parts, &options.hang_up_file, &options.hang_up_after_line);
    }
    if (!usable) {
        say(stderr, QStringLiteral("Unusable fault option; see --help."));
        return exit_usage;
    }

    EquipmentSimulator equipment(options);
    if (parser.isSet(port_option)) {
        QString why;
        if (!equipment.open_port(parser.value(port_option), &why)) {
            say(stderr, QStringLiteral("Cannot open %1: %2.").arg(parser.value(port_option), why));
            return exit_usage;
        }
        say(stderr, QStringLiteral("Playing the equipment on %1.").arg(equipment.port_path()));
    } else {
        if (!equipment.open_pty()) {
            say(stderr, QStringLiteral("No pseudo-terminal on this system: give a serial port with --port NAME."));
            return exit_usage;
        }
        say(stdout, equipment.port_path());
        say(stderr, QStringLiteral("Connect the update tool to the port above."));
    }

    bool problems = false;
    QObject::connect(&equipment, &EquipmentSimulator::got, [](const EquipmentSimulator::Received& item) {
        if (item.kind == EquipmentSimulator::Received::Kind::token && item.bytes == bootloader_protocol::start_token)
            say(stdout, QStringLiteral("file %1: started").arg(item.file + 1));
    });
    QObject::connect(
        &equipment, &EquipmentSimulator::file_checked, [&problems](const EquipmentSimulator::FileReport& report) {
            const QString head = QStringLiteral("file %1: board %2, %3 lines, %4 bytes: ")
                                     .arg(QString::number(report.file + 1), package_check::board_text(report.board),
                                          QString::number(report.lines), QString::number(report.bytes));
            if (report.problems.isEmpty()) {
                say(stdout, head + QStringLiteral("OK"));
                return;
            }
            problems = true;
            say(stdout, head + QStringLiteral("%1 problem(s)").arg(report.problems.size()));
            for (const QString& problem : report.problems)
                say(stdout, QStringLiteral("file %1, %2").arg(QString::number(report.file + 1), problem));
        });
    QObject::connect(&equipment, &EquipmentSimulator::fault_injected, [&](const QString& what) {
        say(stdout, QStringLiteral("fault: %1").arg(what));
        // A lost link leaves nothing to play on.
        if (equipment.is_hung_up())
            QTimer::singleShot(0, &app, [&] { app.exit(problems ? exit_problems : exit_sound); });
    });
    const bool keep_going = parser.isSet(keep_option);
    QObject::connect(&equipment, &EquipmentSimulator::finished, [&] {
        say(stdout, QStringLiteral("end of package"));
        if (!keep_going)
            app.exit(problems ? exit_problems : exit_sound);
    });
    return app.exec();
}
