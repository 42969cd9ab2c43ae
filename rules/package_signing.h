#ifndef PACKAGE_SIGNING_H
#define PACKAGE_SIGNING_H

#include "rules/package_signature.h"

#include <QDate>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Signing a package file as the field checks it: NAME.vkt.minisig beside it, over the bytes read once, with a
// trusted comment that names the equipment and the package's files, so the operator reads a signed name.
namespace package_signing
{

// Our trusted comments stay far inside minisign's line, whatever the package holds.
constexpr int largest_comment_bytes = 1000;

// The converter's signing key: signing.key in the program's configuration folder (on Linux
// ~/.config/vkt_update_tool/signing.key). It must be unencrypted, as the converter asks for no password.
QString converter_key_path();

// "equipamento: NAME; arquivos (N): A, B; assinado em YYYY-MM-DD", the list cut with "…" when it is too long.
QByteArray trusted_comment(const QString& package_path, const QStringList& entries, const QDate& day);

// Reads a minisign secret key file; `password` is asked only when the key is encrypted. Nothing, and why, when the
// file is not a key or does not open.
std::optional<package_signature::KeyPair> load_key(const QString& path, const std::function<QByteArray()>& password,
                                                   QString* why);

// Reads the package once, refuses what an update would refuse by its directory, and writes the signature beside
// it, replacing any older one whole. The trusted comment written, or nothing and why.
std::optional<QString> sign_package(const QString& package_path, const package_signature::KeyPair& key, QString* why);

// Writes a new key pair; the secret key sealed with the password unless it is empty. False and why when a file
// already exists or cannot be written.
bool write_key_pair(const QString& secret_path, const QString& public_path, const QByteArray& password, QString* key_id,
                    QString* why);

} // namespace package_signing

#endif // PACKAGE_SIGNING_H
