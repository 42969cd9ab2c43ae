#ifndef SIGNING_COMMANDS_H
#define SIGNING_COMMANDS_H

#include "rules/package_trust.h"

#include <QByteArray>
#include <QString>

// vkt-update's side of signed packages: making a key pair, signing a package, and refusing one whose signature the
// installed keys do not accept. Each returns the exit status.
namespace signing_commands
{

// Writes a minisign-compatible key pair; the secret key sealed with a password typed twice on stdin unless
// `no_password`.
int new_key(const QString& secret_path, const QString& public_path, bool no_password);
// Writes PACKAGE.minisig with the secret key (its password asked on stdin when it has one).
int sign(const QString& package_path, const QString& secret_path);
// The package's refusal: a line on stderr and, with `json`, a `refused` event with its reason.
int refuse(const package_trust::Verdict& verdict, bool json);
// What the consent shows of a verified signature: the signed name above the file's.
QString consent_line(const package_trust::Verdict& verdict);

// One line read from stdin without its end, not echoed on a terminal; null when stdin ended first.
QByteArray read_password(const QString& prompt);

} // namespace signing_commands

#endif // SIGNING_COMMANDS_H
