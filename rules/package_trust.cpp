#include "rules/package_trust.h"

#include "rules/package_extraction.h"
#include "rules/package_rules.h"
#include "rules/package_signature.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <thread>

namespace package_trust
{

namespace
{

struct Refusal {
    const char* reason;
    const char* text; // %1: the key ID, or the list and its line
};

// clang-format off
const Refusal unsigned_package = {"unsigned",            "Erro! Pacote sem assinatura"};
const Refusal unreadable_sig   = {"bad_signature_file",  "Erro! Arquivo de assinatura ilegível"};
const Refusal unknown_key      = {"unknown_key",         "Erro! Assinado por chave desconhecida: %1"};
const Refusal revoked_key      = {"revoked_key",         "Erro! Assinado por chave revogada: %1"};
const Refusal bad_signature    = {"bad_signature",       "Erro! Assinatura inválida: pacote alterado"};
const Refusal damaged_list     = {"bad_revocation_list", "Erro! Lista de chaves revogadas ilegível: %1"};
// The unpacking's own text for a package over its bounds.
const Refusal too_big          = {"too_big",             "Erro! Pacote grande demais"};
// clang-format on

Verdict refused(const Refusal& refusal, const QString& detail = QString(), const QString& key_id = QString())
{
    Verdict verdict;
    verdict.state = State::refused;
    verdict.key_id = key_id;
    verdict.reason = QLatin1String(refusal.reason);
    verdict.refusal = QString::fromUtf8(refusal.text);
    if (verdict.refusal.contains(QLatin1String("%1")))
        verdict.refusal = verdict.refusal.arg(detail);
    return verdict;
}

// At most `limit` bytes; null when the file is missing or cannot be read, `limit + 1` bytes when it is longer.
QByteArray read_bounded(const QString& path, qint64 limit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    // Sized by the file, so that a small file never reserves the bound's worth of memory.
    QByteArray bytes = file.read(std::min(file.size(), limit) + 1);
    if (file.error() != QFileDevice::NoError)
        return QByteArray();
    // An empty file read is an empty array, not a missing one.
    if (bytes.isNull())
        bytes = QByteArray("");
    return bytes;
}

} // namespace

QStringList default_folders()
{
    const QString name = QLatin1String(keys_folder_name);
#ifdef Q_OS_WIN
    // The machine-wide configuration folder (ProgramData), as the system reports it rather than any variable.
    const QString system = QStandardPaths::standardLocations(QStandardPaths::AppConfigLocation).value(1);
#else
    const QString system = QStringLiteral("/etc/vkt_update_tool");
#endif
    return {system + QLatin1Char('/') + name,
            QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QLatin1Char('/') + name};
}

TrustStore load(const QStringList& folders)
{
    TrustStore trust;
    for (const QString& folder : folders) {
        const QDir dir(folder);
        for (const QString& name : dir.entryList({QStringLiteral("*.pub")}, QDir::Files, QDir::Name)) {
            trust.enforcing = true;
            minisign_files::PublicKey key;
            if (minisign_files::parse_public_key(read_bounded(dir.filePath(name), minisign_files::largest_file_bytes),
                                                 &key))
                trust.keys.append(key);
        }
        const QString list_path = dir.filePath(QLatin1String(revocation_file_name));
        if (!QFile::exists(list_path))
            continue;
        QFile list(list_path);
        const minisign_files::Revocations revocations = list.open(QIODevice::ReadOnly)
                                                            ? minisign_files::parse_revocations(list.readAll())
                                                            : minisign_files::Revocations{{}, 1};
        trust.revoked.unite(revocations.key_ids);
        if (revocations.bad_line > 0 && trust.damaged_list.isEmpty())
            trust.damaged_list =
                QStringLiteral("%1, linha %2").arg(QDir::toNativeSeparators(list_path)).arg(revocations.bad_line);
    }
    return trust;
}

Verdict judge(const QByteArray& package, const QByteArray& signature_file, const TrustStore& trust)
{
    Verdict verdict;
    minisign_files::Signature signature;
    const bool readable = !signature_file.isNull() && minisign_files::parse_signature(signature_file, &signature);
    if (readable)
        verdict.key_id = minisign_files::key_id_text(signature.key_id);
    if (!trust.enforcing) {
        verdict.state = signature_file.isNull() ? State::none : readable ? State::unchecked : State::unreadable;
        return verdict;
    }
    if (!trust.damaged_list.isEmpty())
        return refused(damaged_list, trust.damaged_list);
    if (signature_file.isNull())
        return refused(unsigned_package);
    if (!readable)
        return refused(unreadable_sig);
    if (trust.revoked.contains(signature.key_id))
        return refused(revoked_key, verdict.key_id, verdict.key_id);
    for (const minisign_files::PublicKey& key : trust.keys) {
        if (key.key_id != signature.key_id)
            continue;
        if (!package_signature::verify(signature, key, package))
            return refused(bad_signature, QString(), verdict.key_id);
        verdict.state = State::verified;
        verdict.trusted_comment = comment_text(signature.trusted_comment);
        return verdict;
    }
    return refused(unknown_key, verdict.key_id, verdict.key_id);
}

PackageBytes read(const QString& path, const TrustStore& trust)
{
    PackageBytes package;
    package.bytes = read_bounded(path, package_extraction::max_package_file_bytes);
    if (package.bytes.size() > package_extraction::max_package_file_bytes) {
        package.bytes.clear();
        package.verdict = refused(too_big);
        return package;
    }
    // Unreadable is the unpacking's to report, as it always was.
    if (package.bytes.isNull())
        return package;
    const QByteArray signature =
        read_bounded(path + QLatin1String(signature_suffix), minisign_files::largest_file_bytes);
    // The record's SHA-256 is due whatever the signature says: computed beside the verification, it leaves a signed
    // package almost nothing more to pay than an unsigned one (bench/signature_bench).
    std::thread hashing([&package] { package.sha256 = package_rules::bytes_sha256_hex(package.bytes); });
    package.verdict = judge(package.bytes, signature, trust);
    hashing.join();
    return package;
}

QString state_word(State state)
{
    switch (state) {
    case State::none:
        return QStringLiteral("none");
    case State::unreadable:
        return QStringLiteral("unreadable");
    case State::unchecked:
        return QStringLiteral("unchecked");
    case State::verified:
        return QStringLiteral("verified");
    case State::refused:
        break;
    }
    return QStringLiteral("refused");
}

QString describe(const Verdict& verdict)
{
    QString text = state_word(verdict.state);
    if (!verdict.key_id.isEmpty())
        text += QStringLiteral(", key ") + verdict.key_id;
    if (!verdict.trusted_comment.isEmpty())
        text += QStringLiteral(": ") + verdict.trusted_comment;
    if (!verdict.refusal.isNull())
        text += QStringLiteral(": ") + verdict.refusal;
    return text;
}

QString comment_text(const QByteArray& comment)
{
    QString text = QString::fromUtf8(comment);
    for (QChar& character : text) {
        if (character.category() == QChar::Other_Control || character == QChar::LineSeparator ||
            character == QChar::ParagraphSeparator)
            character = QLatin1Char(' ');
    }
    return text;
}

} // namespace package_trust
