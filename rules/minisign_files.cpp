#include "rules/minisign_files.h"

#include <QList>
#include <QtEndian>

#include <algorithm>
#include <cctype>

namespace minisign_files
{

namespace
{

const QByteArray untrusted_prefix = QByteArrayLiteral("untrusted comment: ");
const QByteArray trusted_prefix = QByteArrayLiteral("trusted comment: ");
const QByteArray ed25519 = QByteArrayLiteral("Ed");
const QByteArray ed25519_prehashed = QByteArrayLiteral("ED");
const QByteArray scrypt = QByteArrayLiteral("Sc");
const QByteArray no_kdf = QByteArray(2, '\0');
const QByteArray blake2b = QByteArrayLiteral("B2");
constexpr int algorithm_bytes = 2;
constexpr int limit_bytes = 8;
constexpr int public_key_record = algorithm_bytes + key_id_bytes + public_key_bytes;
constexpr int signature_record = algorithm_bytes + key_id_bytes + signature_bytes;
constexpr int secret_key_record = 3 * algorithm_bytes + salt_bytes + 2 * limit_bytes + sealed_bytes;

bool failed(QString* why, const char* text)
{
    if (why)
        *why = QString::fromUtf8(text);
    return false;
}

// The lines of a file of exactly `count` lines, each ended by LF or CR LF (the last one's end may be missing);
// empty for any other shape.
QList<QByteArray> lines_of(const QByteArray& file, int count)
{
    if (file.size() > largest_file_bytes)
        return {};
    QList<QByteArray> lines = file.split('\n');
    if (lines.size() == count + 1 && lines.last().isEmpty())
        lines.removeLast();
    if (lines.size() != count)
        return {};
    for (QByteArray& line : lines) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.contains('\r'))
            return {};
    }
    return lines;
}

// Strict base64 of exactly `size` bytes; empty otherwise.
QByteArray decoded(const QByteArray& line, int size)
{
    const QByteArray::FromBase64Result result =
        QByteArray::fromBase64Encoding(line, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != size || result.decoded.toBase64() != line)
        return {};
    return result.decoded;
}

} // namespace

bool parse_public_key(const QByteArray& file, PublicKey* key, QString* why)
{
    const QList<QByteArray> lines = lines_of(file, 2);
    if (lines.isEmpty() || !lines.at(0).startsWith(untrusted_prefix))
        return failed(why, "not a minisign public key file");
    const QByteArray record = decoded(lines.at(1), public_key_record);
    if (record.isEmpty() || !record.startsWith(ed25519))
        return failed(why, "not an Ed25519 public key");
    key->key_id = record.mid(algorithm_bytes, key_id_bytes);
    key->key = record.mid(algorithm_bytes + key_id_bytes);
    return true;
}

bool parse_signature(const QByteArray& file, Signature* signature, QString* why)
{
    const QList<QByteArray> lines = lines_of(file, 4);
    if (lines.isEmpty() || !lines.at(0).startsWith(untrusted_prefix) || !lines.at(2).startsWith(trusted_prefix))
        return failed(why, "not a minisign signature file");
    const QByteArray record = decoded(lines.at(1), signature_record);
    const QByteArray global = decoded(lines.at(3), signature_bytes);
    const QByteArray algorithm = record.left(algorithm_bytes);
    if (global.isEmpty() || (algorithm != ed25519 && algorithm != ed25519_prehashed))
        return failed(why, "not an Ed25519 signature");
    signature->prehashed = algorithm == ed25519_prehashed;
    signature->key_id = record.mid(algorithm_bytes, key_id_bytes);
    signature->signature = record.mid(algorithm_bytes + key_id_bytes);
    signature->trusted_comment = lines.at(2).mid(trusted_prefix.size());
    signature->global_signature = global;
    return true;
}

bool parse_secret_key(const QByteArray& file, SecretKey* key, QString* why)
{
    const QList<QByteArray> lines = lines_of(file, 2);
    if (lines.isEmpty() || !lines.at(0).startsWith(untrusted_prefix))
        return failed(why, "not a minisign secret key file");
    const QByteArray record = decoded(lines.at(1), secret_key_record);
    const QByteArray kdf = record.mid(algorithm_bytes, algorithm_bytes);
    if (!record.startsWith(ed25519) || (kdf != scrypt && kdf != no_kdf) ||
        record.mid(2 * algorithm_bytes, algorithm_bytes) != blake2b)
        return failed(why, "not an Ed25519 secret key of minisign's format");
    int at = 3 * algorithm_bytes;
    key->encrypted = kdf == scrypt;
    key->salt = record.mid(at, salt_bytes);
    at += salt_bytes;
    key->opslimit = qFromLittleEndian<quint64>(record.constData() + at);
    key->memlimit = qFromLittleEndian<quint64>(record.constData() + at + limit_bytes);
    key->sealed = record.mid(at + 2 * limit_bytes);
    return true;
}

QByteArray public_key_file(const PublicKey& key)
{
    return untrusted_prefix + "minisign public key " + key_id_text(key.key_id).toLatin1() + '\n' +
           (ed25519 + key.key_id + key.key).toBase64() + '\n';
}

QByteArray signature_file(const Signature& signature, const QByteArray& untrusted_comment)
{
    const QByteArray record =
        (signature.prehashed ? ed25519_prehashed : ed25519) + signature.key_id + signature.signature;
    return untrusted_prefix + untrusted_comment + '\n' + record.toBase64() + '\n' + trusted_prefix +
           signature.trusted_comment + '\n' + signature.global_signature.toBase64() + '\n';
}

QByteArray secret_key_file(const SecretKey& key)
{
    QByteArray limits(2 * limit_bytes, '\0');
    qToLittleEndian<quint64>(key.opslimit, limits.data());
    qToLittleEndian<quint64>(key.memlimit, limits.data() + limit_bytes);
    const QByteArray record = ed25519 + (key.encrypted ? scrypt : no_kdf) + blake2b + key.salt + limits + key.sealed;
    return untrusted_prefix + (key.encrypted ? "minisign encrypted secret key" : "minisign secret key") + '\n' +
           record.toBase64() + '\n';
}

QByteArray global_message(const Signature& signature)
{
    return signature.signature + signature.trusted_comment;
}

QString key_id_text(const QByteArray& key_id)
{
    QByteArray reversed(key_id);
    std::reverse(reversed.begin(), reversed.end());
    return QString::fromLatin1(reversed.toHex().toUpper());
}

QByteArray key_id_from_text(const QString& text)
{
    const QByteArray hex = text.toLatin1();
    const bool digits = std::all_of(hex.begin(), hex.end(), [](char c) { return std::isxdigit(uchar(c)); });
    if (text.size() != 2 * key_id_bytes || !digits)
        return {};
    QByteArray key_id = QByteArray::fromHex(hex);
    std::reverse(key_id.begin(), key_id.end());
    return key_id;
}

Revocations parse_revocations(const QByteArray& file)
{
    Revocations revocations;
    const QList<QByteArray> lines = file.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        const int comment = lines.at(i).indexOf('#');
        const QByteArray line = (comment < 0 ? lines.at(i) : lines.at(i).left(comment)).trimmed();
        if (line.isEmpty())
            continue;
        const QByteArray key_id = key_id_from_text(QString::fromLatin1(line));
        if (key_id.isEmpty()) {
            // One unreadable line may be the very key meant to go; nothing on the list can be relied on then.
            revocations.bad_line = i + 1;
            return revocations;
        }
        revocations.key_ids.insert(key_id);
    }
    return revocations;
}

} // namespace minisign_files
