#include "cli/signing_commands.h"

#include "cli/json_events.h"

#include "cli/console.h"
#include "cli/exit_codes.h"
#include "rules/package_signing.h"
#include "servicelog/service_log.h"

#include <QDateTime>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <termios.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <windows.h>
#endif

namespace signing_commands
{

namespace
{

int fail(int code, const QString& text)
{
    console::write_line(stderr, QStringLiteral("vkt-update: %1").arg(text));
    return code;
}

// Echo off while a password is typed on a terminal, and back on however the read ends.
class QuietInput
{
public:
    QuietInput()
    {
#ifdef Q_OS_UNIX
        quiet = ::tcgetattr(STDIN_FILENO, &saved) == 0;
        if (quiet) {
            termios silent = saved;
            silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
        }
#elif defined(Q_OS_WIN)
        input = GetStdHandle(STD_INPUT_HANDLE);
        quiet = GetConsoleMode(input, &saved) != 0;
        if (quiet)
            SetConsoleMode(input, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
#endif
    }
    ~QuietInput()
    {
#ifdef Q_OS_UNIX
        if (quiet)
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
#elif defined(Q_OS_WIN)
        if (quiet)
            SetConsoleMode(input, saved);
#endif
        // The typed line's end was not echoed.
        if (quiet)
            console::write(stderr, "\n");
    }
    QuietInput(const QuietInput&) = delete;
    QuietInput& operator=(const QuietInput&) = delete;

private:
    bool quiet = false;
#ifdef Q_OS_UNIX
    termios saved{};
#elif defined(Q_OS_WIN)
    HANDLE input = nullptr;
    DWORD saved = 0;
#endif
};

} // namespace

QByteArray read_password(const QString& prompt)
{
    console::write(stderr, prompt.toUtf8());
    const QuietInput quiet;
    QByteArray line;
    for (int c; (c = std::getchar()) != EOF && c != '\n';)
        line.append(static_cast<char>(c));
    if (line.isEmpty() && std::feof(stdin))
        return QByteArray();
    if (line.endsWith('\r'))
        line.chop(1);
    return line.isNull() ? QByteArray("") : line;
}

int new_key(const QString& secret_path, const QString& public_path, bool no_password)
{
    QByteArray password;
    if (!no_password) {
        password = read_password(QStringLiteral("Senha da nova chave: "));
        const QByteArray again = read_password(QStringLiteral("A mesma senha de novo: "));
        if (password.isEmpty())
            return fail(exit_codes::usage,
                        QStringLiteral("no password typed; give --no-password for a key without one"));
        if (password != again)
            return fail(exit_codes::usage, QStringLiteral("the two passwords differ; no key was written"));
    }
    QString key_id, why;
    if (!package_signing::write_key_pair(secret_path, public_path, password, &key_id, &why))
        return fail(exit_codes::usage, why);
    console::write_line(stdout,
                        QStringLiteral("key %1: secret %2, public %3")
                            .arg(key_id, QDir::toNativeSeparators(secret_path), QDir::toNativeSeparators(public_path)));
    return exit_codes::updated;
}

int sign(const QString& package_path, const QString& secret_path)
{
    QString why;
    const auto key = package_signing::load_key(
        secret_path, [] { return read_password(QStringLiteral("Senha da chave: ")); }, &why);
    if (!key)
        return fail(exit_codes::usage, QStringLiteral("the secret key was not opened: %1").arg(why));
    const std::optional<QString> comment = package_signing::sign_package(package_path, *key, &why);
    if (!comment)
        return fail(exit_codes::package_refused, QStringLiteral("the package was not signed: %1").arg(why));
    console::write_line(stdout,
                        QStringLiteral("%1%2: key %3, trusted comment: %4")
                            .arg(QDir::toNativeSeparators(package_path), QLatin1String(package_trust::signature_suffix),
                                 minisign_files::key_id_text(key->key_id), *comment));
    return exit_codes::updated;
}

int refuse(const package_trust::Verdict& verdict, bool json)
{
    if (json)
        json_events::print_refusal(QString(), verdict.refusal, exit_codes::package_refused, verdict.reason);
    return fail(exit_codes::package_refused, QStringLiteral("%1; nothing was sent").arg(verdict.refusal));
}

QString consent_line(const package_trust::Verdict& verdict)
{
    return QStringLiteral("Assinado (chave %1): %2").arg(verdict.key_id, verdict.trusted_comment);
}

} // namespace signing_commands
