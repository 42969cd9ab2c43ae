// vkt-update: the production line's update, one unit per port, all at once, without a window.

#include "cli/console.h"
#include "cli/exit_codes.h"
#include "cli/history_command.h"
#include "cli/json_events.h"
#include "cli/production_run.h"
#include "cli/signing_commands.h"
#include "link/port_catalog.h"
#include "rules/package_check.h"
#include "rules/package_extraction.h"
#include "rules/package_rules.h"
#include "servicelog/unit_history.h"
#include "servicelog/unit_record.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <tuple>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/stat.h>
#endif

namespace
{

const char* const program_name = "vkt-update";
// Set once --json is known to be asked for: from then on a script reads every refusal on stdout too.
bool json_refusals = false;

// `line` for the operator; for a script the port the refusal is about, and its text when the line says more.
int fail(int code, const QString& line, const QString& port = QString(), const QString& text = QString())
{
    console::write_line(stderr, QStringLiteral("%1: %2").arg(QLatin1String(program_name), line));
    if (json_refusals)
        json_events::print_refusal(port, text.isNull() ? line : text, code);
    return code;
}

QString help_text(const QCommandLineParser& parser)
{
    QString text = parser.helpText();
    text += QStringLiteral("\nExit status:\n");
    for (const exit_codes::Meaning& row : exit_codes::meanings)
        text += QStringLiteral("  %1  %2\n").arg(row.code).arg(QString::fromUtf8(row.text));
    text += QStringLiteral("With several units, the status is that of the first unit in --port order that was not "
                           "updated.\nEach unit's record is appended to the reports file (default %1), and each unit "
                           "is kept in the history (default %2).\n")
                .arg(QDir::toNativeSeparators(unit_record::default_reports_path()),
                     QDir::toNativeSeparators(UnitHistory::default_path()));
    return text;
}

// Two names of one port ("ttyUSB0", "/dev/ttyUSB0", a /dev/serial/by-id link) must not become two units.
QString port_key(const QString& name)
{
#ifdef Q_OS_WIN
    return name.toUpper();
#else
    const QString path = name.contains(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
    const QFileInfo info(path);
    return info.exists() ? info.canonicalFilePath() : path;
#endif
}

// The reports file is checked before anything is sent, without creating it: a unit updated without its record is
// a unit the line cannot trace.
bool writable_report(const QString& path)
{
    QFileInfo file(path);
    if (file.exists())
        return file.isFile() && file.isWritable();
    for (QFileInfo folder(file.absolutePath());; folder = QFileInfo(folder.absolutePath())) {
        if (folder.exists())
            return folder.isDir() && folder.isWritable();
        if (folder.isRoot())
            return false;
    }
}

// A name whose bytes are not text in the system's encoding (a file copied from an older system) comes through Qt
// changed, so the file cannot be found by it; the bytes as given still name it.
bool names_a_file(int argc, char** argv, const QString& argument)
{
#ifdef Q_OS_UNIX
    for (int i = 1; i < argc; ++i) {
        struct stat file = {};
        if (QString::fromLocal8Bit(argv[i]) == argument && ::stat(argv[i], &file) == 0 && S_ISREG(file.st_mode))
            return true;
    }
#else
    Q_UNUSED(argc)
    Q_UNUSED(argv)
    Q_UNUSED(argument)
#endif
    return false;
}

#ifdef VKT_TEST_WAITS
// The protocol's waits, shortened for the tests' build of the command only ("confirm_pause_ms=20,reply_ms=300"): a
// real confirmation pause of a second per file would make every end-to-end test slow. The command that is installed
// has no such door: nothing on a production line can shorten a wait the equipment relies on.
bootloader_protocol::Waits waits_from_environment()
{
    struct WaitName {
        const char* name;
        int bootloader_protocol::Waits::*wait;
    };
    static const WaitName names[] = {
        {"baud_guard_ms", &bootloader_protocol::Waits::baud_guard_ms},
        {"reply_ms", &bootloader_protocol::Waits::reply_ms},
        {"event_port_pause_ms", &bootloader_protocol::Waits::event_port_pause_ms},
        {"confirm_pause_ms", &bootloader_protocol::Waits::confirm_pause_ms},
        {"silence_bound_ms", &bootloader_protocol::Waits::silence_bound_ms},
        {"silence_notice_ms", &bootloader_protocol::Waits::silence_notice_ms},
    };
    bootloader_protocol::Waits waits;
    const QString setting = qEnvironmentVariable("VKT_UPDATE_TEST_WAITS");
    for (const QString& item : setting.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList pair = item.split(QLatin1Char('='));
        for (const WaitName& row : names) {
            if (pair.size() == 2 && pair.at(0) == QLatin1String(row.name))
                waits.*row.wait = pair.at(1).toInt();
        }
    }
    return waits;
}
#endif

int check_package(const QString& path, const package_trust::PackageBytes& package)
{
    const package_check::PackageCheck result = package_check::check(path, package.bytes);
    if (!result.refusal.isNull())
        return fail(exit_codes::package_refused, QStringLiteral("the package was refused: %1").arg(result.refusal));
    console::write_line(stdout, QStringLiteral("signature: %1").arg(package_trust::describe(package.verdict)));
    int with_problems = 0;
    for (const package_check::FileCheck& file : result.files) {
        const QString verdict =
            file.problems.isEmpty() ? QStringLiteral("OK") : file.problems.join(QStringLiteral("; "));
        with_problems += file.problems.isEmpty() ? 0 : 1;
        console::write_line(stdout, QStringLiteral("%1: board %2, %3 lines, %4 bytes: %5")
                                        .arg(file.name, package_check::board_text(file.board),
                                             QString::number(file.lines), QString::number(file.bytes), verdict));
    }
    console::write_line(stdout, QStringLiteral("%1: %2 files, %3 with problems")
                                    .arg(package_rules::file_name(path), QString::number(result.files.size()),
                                         QString::number(with_problems)));
    return result.sound() ? exit_codes::updated : exit_codes::package_refused;
}

// The end classes --end-class takes: every ending, and the rows of units still running.
bool known_end_class(const QString& word)
{
    return bootloader_protocol::end_class_named(word) || word == QLatin1String("running");
}

int show_history(const QString& database, const HistoryFilter& filter, history_command::Format format)
{
    UnitHistory history;
    QObject::connect(&history, &UnitHistory::warning,
                     [](const QString& text) { console::write_line(stderr, QStringLiteral("vkt-update: ") + text); });
    if (!history.open(database))
        return exit_codes::usage;
    console::write(stdout, history_command::render(history.query(filter), format));
    return exit_codes::updated;
}

} // namespace

int main(int argc, char** argv)
{
#ifdef Q_OS_UNIX
    // Piped into `head`, the units go on: a write to a closed stdout then fails instead of ending the process
    // half-way through an update.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    QCoreApplication app(argc, argv);
    // The window's name, so that both keep their service logs and reports in one folder.
    QCoreApplication::setApplicationName(QStringLiteral("vkt_update_tool"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));
    package_extraction::remove_abandoned();
    console::prepare();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Updates one unit per --port with the package, all at once. Asks for consent on a terminal; --yes gives it "
        "for scripts. --check PACKAGE checks a package without any device."));
    const QCommandLineOption help_option = parser.addHelpOption();
    const QCommandLineOption version_option = parser.addVersionOption();
    const QCommandLineOption port_option(
        QStringLiteral("port"),
        QStringLiteral("A unit's port: a system port name, a path, usb:SERIAL, loc:USB-LOCATION or id:VID:PID, with "
                       "=SERIAL behind it for the unit's own serial number. Repeat for several units. With "
                       "--history: the units of that port."),
        QStringLiteral("NAME"));
    const QCommandLineOption yes_option(QStringLiteral("yes"), QStringLiteral("Start without asking."));
    const QCommandLineOption json_option(QStringLiteral("json"),
                                         QStringLiteral("JSON Lines on stdout, one object per event."));
    const QCommandLineOption report_option(
        QStringLiteral("report"), QStringLiteral("Append each unit's record to FILE."), QStringLiteral("FILE"));
    const QCommandLineOption check_option(QStringLiteral("check"),
                                          QStringLiteral("Check the package's files against the firmware rules."));
    const QCommandLineOption list_option(QStringList{QStringLiteral("list"), QStringLiteral("list-ports")},
                                         QStringLiteral("List the serial ports and their adapters."));
    const QCommandLineOption machine_option(
        QStringLiteral("machine"), QStringLiteral("With --list: one tab-separated line per port, for scripts."));
    const QCommandLineOption history_db_option(
        QStringLiteral("history-db"), QStringLiteral("The history database to write or read."), QStringLiteral("FILE"));
    const QCommandLineOption hook_option(
        QStringLiteral("on-unit-end"),
        QStringLiteral("Run COMMAND after each unit, its record as JSON on stdin (no shell: write one if needed)."),
        QStringLiteral("COMMAND"));
    const QCommandLineOption history_option(
        QStringLiteral("history"), QStringLiteral("List the units in the history, oldest first; the options below "
                                                  "narrow the list, --csv or --json give every field."));
    const QCommandLineOption since_option(
        QStringLiteral("since"), QStringLiteral("Units started at or after DATE (2024-05-01, 2024-05-01T14:00)."),
        QStringLiteral("DATE"));
    const QCommandLineOption until_option(QStringLiteral("until"),
                                          QStringLiteral("Units started at or before DATE (a date: to its end)."),
                                          QStringLiteral("DATE"));
    const QCommandLineOption end_class_option(
        QStringLiteral("end-class"), QStringLiteral("Units that ended so (success, interrupted, ...; running)."),
        QStringLiteral("CLASS"));
    const QCommandLineOption adapter_option(QStringLiteral("adapter-serial"),
                                            QStringLiteral("Units sent through the USB adapter of this serial."),
                                            QStringLiteral("SERIAL"));
    const QCommandLineOption unit_option(QStringLiteral("unit-serial"),
                                         QStringLiteral("The unit of this serial number."), QStringLiteral("SERIAL"));
    const QCommandLineOption package_option(QStringLiteral("package"),
                                            QStringLiteral("Units sent the package of this SHA-256 or file name."),
                                            QStringLiteral("SHA256|NAME"));
    const QCommandLineOption csv_option(QStringLiteral("csv"), QStringLiteral("With --history: CSV (RFC 4180)."));
    const QCommandLineOption sign_option(
        QStringLiteral("sign"),
        QStringLiteral("Sign the package with --secret-key: writes PACKAGE.minisig beside it."));
    const QCommandLineOption secret_key_option(QStringLiteral("secret-key"),
                                               QStringLiteral("A minisign secret key file, to sign with or to make."),
                                               QStringLiteral("FILE"));
    const QCommandLineOption new_key_option(
        QStringLiteral("new-key"),
        QStringLiteral("Make a key pair: --secret-key FILE, and --public-key (default: FILE with .pub for its "
                       "extension). The password is read from stdin."));
    const QCommandLineOption public_key_option(QStringLiteral("public-key"),
                                               QStringLiteral("With --new-key: where the public key goes."),
                                               QStringLiteral("FILE"));
    const QCommandLineOption no_password_option(QStringLiteral("no-password"),
                                                QStringLiteral("With --new-key: a secret key without a password, as "
                                                               "the converter needs."));
    parser.addOptions({port_option,       yes_option,        json_option,       report_option,     check_option,
                       list_option,       machine_option,    history_db_option, hook_option,       history_option,
                       since_option,      until_option,      end_class_option,  adapter_option,    unit_option,
                       package_option,    csv_option,        sign_option,       secret_key_option, new_key_option,
                       public_key_option, no_password_option});
    parser.addPositionalArgument(QStringLiteral("PACKAGE"), QStringLiteral("The package (.vkt)."));
    // process() would end a usage error with status 1.
    const bool parsed = parser.parse(app.arguments());
    json_refusals = parsed ? parser.isSet(json_option) : app.arguments().contains(QStringLiteral("--json"));
    if (!parsed)
        return fail(exit_codes::usage, parser.errorText() + QStringLiteral(" See --help."));
    if (parser.isSet(help_option) || parser.isSet(QStringLiteral("help-all"))) {
        console::write(stdout, help_text(parser).toUtf8());
        return exit_codes::updated;
    }
    if (parser.isSet(version_option)) {
        console::write_line(
            stdout, QStringLiteral("%1 %2").arg(QLatin1String(program_name), QCoreApplication::applicationVersion()));
        return exit_codes::updated;
    }
    const SystemPortCatalog system_ports;
    if (parser.isSet(list_option)) {
        const QList<PortIdentity> listed = system_ports.ports();
        const QStringList lines =
            parser.isSet(machine_option) ? port_catalog::machine_listing(listed) : port_catalog::listing(listed);
        for (const QString& line : lines)
            console::write_line(stdout, line);
        return exit_codes::updated;
    }
    const QString database = parser.isSet(history_db_option)
                                 ? QFileInfo(parser.value(history_db_option)).absoluteFilePath()
                                 : UnitHistory::default_path();
    if (parser.isSet(history_option)) {
        HistoryFilter filter;
        for (const auto& [option, time, until] : {std::make_tuple(&since_option, &filter.since, false),
                                                  std::make_tuple(&until_option, &filter.until, true)}) {
            if (!parser.isSet(*option))
                continue;
            *time = history_command::parse_time(parser.value(*option), until);
            if (!time->isValid())
                return fail(exit_codes::usage,
                            QStringLiteral("%1 is not a date. See --help.").arg(parser.value(*option)));
        }
        filter.end_class = parser.value(end_class_option);
        if (!filter.end_class.isEmpty() && !known_end_class(filter.end_class))
            return fail(exit_codes::usage, QStringLiteral("no end class %1. See --help.").arg(filter.end_class));
        filter.port = parser.value(port_option);
        filter.adapter_serial = parser.value(adapter_option);
        filter.unit_serial = parser.value(unit_option);
        filter.package = parser.value(package_option);
        if (!parser.positionalArguments().isEmpty())
            return fail(exit_codes::usage, QStringLiteral("--history takes no package. See --help."));
        return show_history(database, filter,
                            parser.isSet(csv_option)    ? history_command::Format::csv
                            : parser.isSet(json_option) ? history_command::Format::json
                                                        : history_command::Format::table);
    }
    if (parser.isSet(new_key_option)) {
        const QString secret = parser.value(secret_key_option);
        if (secret.isEmpty())
            return fail(exit_codes::usage, QStringLiteral("--new-key needs --secret-key FILE. See --help."));
        const QString public_key = parser.isSet(public_key_option)          ? parser.value(public_key_option)
                                   : secret.endsWith(QLatin1String(".key")) ? secret.chopped(4) + ".pub"
                                                                            : secret + ".pub";
        return signing_commands::new_key(secret, public_key, parser.isSet(no_password_option));
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return fail(exit_codes::usage, QStringLiteral("name one package. See --help."));
    const QString package = QFileInfo(positional.first()).absoluteFilePath();
    QStringList named_ports, unit_serials;
    for (const QString& given : parser.values(port_option)) {
        // A unit's serial follows its port: "ttyUSB0=SN1234".
        const int split = given.indexOf(QLatin1Char('='));
        named_ports << given.left(split);
        unit_serials << (split < 0 ? QString() : given.mid(split + 1));
        if (split >= 0 && unit_serials.last().isEmpty())
            return fail(exit_codes::usage, QStringLiteral("%1: no serial number after =. See --help.").arg(given),
                        named_ports.last(), QStringLiteral("no serial number after ="));
        if (!unit_serials.last().isEmpty() && unit_serials.indexOf(unit_serials.last()) < unit_serials.size() - 1)
            return fail(exit_codes::usage,
                        QStringLiteral("serial number %1 given to two units").arg(unit_serials.last()));
    }
    if (parser.isSet(check_option) && !named_ports.isEmpty())
        return fail(exit_codes::usage, QStringLiteral("--check uses no port. See --help."));
    const bool signing = parser.isSet(sign_option);
    if (signing && (!named_ports.isEmpty() || !parser.isSet(secret_key_option)))
        return fail(exit_codes::usage, QStringLiteral("--sign takes --secret-key FILE and no port. See --help."));
    if (!parser.isSet(check_option) && !signing && named_ports.isEmpty())
        return fail(exit_codes::usage, QStringLiteral("name a unit's port with --port NAME. See --help."));
    QStringList ports;
    QHash<QString, QString> named;
    for (const QString& given : named_ports) {
        const port_catalog::Resolved port = port_catalog::resolve(given, system_ports);
        if (port.name.isEmpty())
            return fail(exit_codes::port_not_opened, QStringLiteral("%1: %2; nothing was sent").arg(given, port.error),
                        given, port.error);
        const QString key = port_key(port.name);
        if (named.contains(key))
            return fail(exit_codes::usage, QStringLiteral("%1 and %2 are the same port").arg(named.value(key), given),
                        given);
        named.insert(key, given);
        ports << port.name;
    }

    if (!QFileInfo(package).isFile() && names_a_file(argc, argv, positional.first()))
        return fail(exit_codes::package_refused,
                    QStringLiteral("the package %1 exists, but its name is not text in this system's encoding, so it "
                                   "cannot be opened by it: rename it")
                        .arg(QDir::toNativeSeparators(package)));
    if (!QFileInfo(package).isFile())
        return fail(exit_codes::package_refused,
                    QStringLiteral("no package %1").arg(QDir::toNativeSeparators(package)));
    if (!package_rules::is_package_name(package))
        return fail(
            exit_codes::package_refused,
            QStringLiteral("%1 is not a package: its name holds no .vkt").arg(QDir::toNativeSeparators(package)));
    if (signing)
        return signing_commands::sign(package, parser.value(secret_key_option));
    // Read once and judged once: every unit, and the check, get the very bytes verified.
    const package_trust::PackageBytes package_bytes = package_trust::read(package, package_trust::installed());
    if (!package_bytes.verdict.refusal.isNull())
        return signing_commands::refuse(package_bytes.verdict, parser.isSet(json_option));
    if (parser.isSet(check_option))
        return check_package(package, package_bytes);

    RunOptions options;
    options.ports = ports;
    options.named_ports = named_ports;
    options.unit_serials = unit_serials;
    options.history.database = database;
    options.history.on_unit_end = parser.value(hook_option);
    options.package = package;
    options.package_bytes = package_bytes;
    options.yes = parser.isSet(yes_option);
    options.json = parser.isSet(json_option);
    options.report_path = parser.isSet(report_option) ? QFileInfo(parser.value(report_option)).absoluteFilePath()
                                                      : unit_record::default_reports_path();
#ifdef VKT_TEST_WAITS
    // Shortened by the tests, as the protocol's waits are.
    const int hook_bound_ms = qEnvironmentVariableIntValue("VKT_UPDATE_TEST_HOOK_BOUND_MS");
    if (hook_bound_ms > 0)
        options.history.hook_bound_ms = hook_bound_ms;
    options.waits = waits_from_environment();
#endif
    if (!writable_report(options.report_path))
        return fail(
            exit_codes::usage,
            QStringLiteral("cannot write the reports file %1").arg(QDir::toNativeSeparators(options.report_path)));

    ProductionRun run(options);
    StopRequests stop_requests;
    QObject::connect(&stop_requests, &StopRequests::requested, &run, &ProductionRun::stop);
    QObject::connect(&run, &ProductionRun::finished, &app, &QCoreApplication::exit);
    run.begin();
    return app.exec();
}
