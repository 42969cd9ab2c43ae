#include "rules/package_signing.h"

#include "rules/board_name.h"
#include "rules/package_extraction.h"
#include "rules/package_trust.h"

#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

namespace package_signing
{

namespace
{

const char* const untrusted_comment = "signature from vkt-update secret key";
const QString ellipsis = QStringLiteral("…");

bool failed(QString* why, const QString& text)
{
    *why = text;
    return false;
}

bool write_new(const QString& path, const QByteArray& bytes, QFileDevice::Permissions permissions, QString* why)
{
    QFile file(path);
    // New only: a key is never written over another one, nor through a link.
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return failed(why, QStringLiteral("%1: %2").arg(path, file.errorString()));
    // Restricted before a byte of the key is written.
    file.setPermissions(permissions);
    if (file.write(bytes) != bytes.size() || !file.flush()) {
        file.remove();
        return failed(why, QStringLiteral("%1: %2").arg(path, file.errorString()));
    }
    return true;
}

} // namespace

QString converter_key_path()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QStringLiteral("/signing.key");
}

QByteArray trusted_comment(const QString& package_path, const QStringList& entries, const QDate& day)
{
    QStringList files;
    for (const QString& entry : entries) {
        if (!entry.endsWith(QLatin1Char('/')))
            files.append(entry);
    }
    const QString head = QStringLiteral("equipamento: %1; arquivos (%2): ")
                             .arg(board_name::equipment_name(package_path))
                             .arg(files.size());
    const QString tail = QStringLiteral("; assinado em %1").arg(day.toString(Qt::ISODate));
    QString list = files.join(QStringLiteral(", "));
    const auto bytes = [&] { return (head + list + tail).toUtf8().size(); };
    while (bytes() > largest_comment_bytes && !files.isEmpty()) {
        files.removeLast();
        list = files.join(QStringLiteral(", ")) + QStringLiteral(", ") + ellipsis;
    }
    // A name longer than the whole line on its own (a package file's name may run to 255 bytes).
    QString comment = package_trust::comment_text((head + list + tail).toUtf8());
    while (comment.toUtf8().size() > largest_comment_bytes)
        comment.chop(1);
    return comment.toUtf8();
}

std::optional<package_signature::KeyPair> load_key(const QString& path, const std::function<QByteArray()>& password,
                                                   QString* why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("%1: %2").arg(path, file.errorString());
        return std::nullopt;
    }
    minisign_files::SecretKey sealed;
    QString problem;
    if (!minisign_files::parse_secret_key(file.read(minisign_files::largest_file_bytes + 1), &sealed, &problem)) {
        *why = QStringLiteral("%1: %2").arg(path, problem);
        return std::nullopt;
    }
    QByteArray typed = sealed.encrypted ? password() : QByteArray();
    // Spared the seconds of scrypt that an empty password would cost only to fail.
    if (sealed.encrypted && typed.isEmpty()) {
        *why = QStringLiteral("%1: the key has a password, and none was given").arg(path);
        return std::nullopt;
    }
    std::optional<package_signature::KeyPair> key = package_signature::open(sealed, typed, &problem);
    typed.fill('\0');
    if (!key)
        *why = QStringLiteral("%1: %2").arg(path, problem);
    return key;
}

std::optional<QString> sign_package(const QString& package_path, const package_signature::KeyPair& key, QString* why)
{
    QFile file(package_path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return std::nullopt;
    }
    const QByteArray bytes = file.read(package_extraction::max_package_file_bytes + 1);
    QString refusal;
    const QStringList entries = bytes.size() > package_extraction::max_package_file_bytes
                                    ? QStringList()
                                    : package_extraction::entry_names(bytes, &refusal);
    if (entries.isEmpty()) {
        *why = refusal.isEmpty() ? QStringLiteral("Erro! Pacote grande demais") : refusal;
        return std::nullopt;
    }
    const QByteArray comment = trusted_comment(package_path, entries, QDate::currentDate());
    const minisign_files::Signature signature = package_signature::sign(key, bytes, comment);
    // Whole or not at all: a reader never meets half a signature, nor the old one beside a new package.
    QSaveFile out(package_path + QLatin1String(package_trust::signature_suffix));
    const QByteArray text = minisign_files::signature_file(signature, untrusted_comment);
    if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size() || !out.commit()) {
        *why = out.errorString();
        return std::nullopt;
    }
    return QString::fromUtf8(comment);
}

bool write_key_pair(const QString& secret_path, const QString& public_path, const QByteArray& password, QString* key_id,
                    QString* why)
{
    if (QFile::exists(secret_path) || QFile::exists(public_path))
        return failed(why, QStringLiteral("%1 exists already: a key is never written over")
                               .arg(QFile::exists(secret_path) ? secret_path : public_path));
    const package_signature::KeyPair key = package_signature::new_key_pair();
    const minisign_files::SecretKey sealed = package_signature::seal(key, password);
    if (key.key_id.isEmpty() || sealed.sealed.isEmpty())
        return failed(why, QStringLiteral("the key could not be made"));
    if (!write_new(secret_path, minisign_files::secret_key_file(sealed),
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner, why))
        return false;
    if (!write_new(public_path, minisign_files::public_key_file(key.public_key()),
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther,
                   why)) {
        QFile::remove(secret_path);
        return false;
    }
    *key_id = minisign_files::key_id_text(key.key_id);
    return true;
}

} // namespace package_signing
