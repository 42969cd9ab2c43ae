#include "rules/package_signature.h"

#include <sodium.h>

namespace package_signature
{

namespace
{

constexpr int prehash_bytes = crypto_generichash_BYTES_MAX; // BLAKE2b-512, as minisign prehashes
static_assert(minisign_files::signature_bytes == crypto_sign_BYTES, "minisign signs with Ed25519");
static_assert(minisign_files::secret_key_bytes == crypto_sign_SECRETKEYBYTES, "minisign signs with Ed25519");
static_assert(minisign_files::public_key_bytes == crypto_sign_PUBLICKEYBYTES, "minisign signs with Ed25519");
static_assert(minisign_files::salt_bytes == crypto_pwhash_scryptsalsa208sha256_SALTBYTES, "minisign's salt");
static_assert(minisign_files::checksum_bytes == crypto_generichash_BYTES, "minisign's checksum is BLAKE2b-256");

const unsigned char* bytes_of(const QByteArray& bytes)
{
    return reinterpret_cast<const unsigned char*>(bytes.constData());
}

unsigned char* bytes_of(QByteArray& bytes)
{
    return reinterpret_cast<unsigned char*>(bytes.data());
}

// Safe to call from any thread and any number of times; only the first call does anything.
bool ready()
{
    return sodium_init() >= 0;
}

QByteArray prehash(const QByteArray& bytes)
{
    QByteArray hash(prehash_bytes, '\0');
    crypto_generichash(bytes_of(hash), prehash_bytes, bytes_of(bytes), static_cast<unsigned long long>(bytes.size()),
                       nullptr, 0);
    return hash;
}

bool holds(const QByteArray& signature, const QByteArray& message, const QByteArray& key)
{
    return crypto_sign_verify_detached(bytes_of(signature), bytes_of(message),
                                       static_cast<unsigned long long>(message.size()), bytes_of(key)) == 0;
}

QByteArray signed_by(const QByteArray& secret_key, const QByteArray& message)
{
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(bytes_of(signature), nullptr, bytes_of(message),
                         static_cast<unsigned long long>(message.size()), bytes_of(secret_key));
    return signature;
}

// Over the algorithm, key ID and secret key, as minisign checks a key it opens.
QByteArray checksum(const QByteArray& key_id, const QByteArray& secret_key)
{
    const QByteArray covered = QByteArrayLiteral("Ed") + key_id + secret_key;
    QByteArray sum(crypto_generichash_BYTES, '\0');
    crypto_generichash(bytes_of(sum), crypto_generichash_BYTES, bytes_of(covered),
                       static_cast<unsigned long long>(covered.size()), nullptr, 0);
    return sum;
}

// The scrypt stream that seals a key: XORed over it, once to seal and once to open.
bool apply_password(QByteArray& sealed, const QByteArray& password, const minisign_files::SecretKey& file)
{
    QByteArray stream(sealed.size(), '\0');
    if (crypto_pwhash_scryptsalsa208sha256(bytes_of(stream), static_cast<unsigned long long>(stream.size()),
                                           password.constData(), static_cast<unsigned long long>(password.size()),
                                           bytes_of(file.salt), file.opslimit, static_cast<size_t>(file.memlimit)) != 0)
        return false;
    for (int i = 0; i < sealed.size(); ++i)
        sealed[i] = static_cast<char>(sealed.at(i) ^ stream.at(i));
    sodium_memzero(stream.data(), static_cast<size_t>(stream.size()));
    return true;
}

// The public half stored with the secret key is the one its seed makes.
bool consistent(const QByteArray& secret_key)
{
    QByteArray public_key(crypto_sign_PUBLICKEYBYTES, '\0');
    QByteArray remade(crypto_sign_SECRETKEYBYTES, '\0');
    crypto_sign_seed_keypair(bytes_of(public_key), bytes_of(remade), bytes_of(secret_key));
    const bool same = sodium_memcmp(remade.constData(), secret_key.constData(), crypto_sign_SECRETKEYBYTES) == 0;
    sodium_memzero(remade.data(), static_cast<size_t>(remade.size()));
    return same;
}

} // namespace

minisign_files::PublicKey KeyPair::public_key() const
{
    return {key_id, secret_key.mid(crypto_sign_SECRETKEYBYTES - crypto_sign_PUBLICKEYBYTES)};
}

bool verify(const minisign_files::Signature& signature, const minisign_files::PublicKey& key, const QByteArray& bytes)
{
    if (!ready() || signature.key_id != key.key_id || key.key.size() != crypto_sign_PUBLICKEYBYTES ||
        signature.signature.size() != crypto_sign_BYTES || signature.global_signature.size() != crypto_sign_BYTES)
        return false;
    const QByteArray message = signature.prehashed ? prehash(bytes) : bytes;
    return holds(signature.signature, message, key.key) &&
           holds(signature.global_signature, minisign_files::global_message(signature), key.key);
}

minisign_files::Signature sign(const KeyPair& key, const QByteArray& bytes, const QByteArray& trusted_comment)
{
    minisign_files::Signature signature;
    if (!ready())
        return signature;
    signature.prehashed = true;
    signature.key_id = key.key_id;
    signature.signature = signed_by(key.secret_key, prehash(bytes));
    signature.trusted_comment = trusted_comment;
    signature.global_signature = signed_by(key.secret_key, minisign_files::global_message(signature));
    return signature;
}

KeyPair new_key_pair()
{
    KeyPair key;
    if (!ready())
        return key;
    key.key_id = QByteArray(minisign_files::key_id_bytes, '\0');
    randombytes_buf(bytes_of(key.key_id), static_cast<size_t>(key.key_id.size()));
    QByteArray public_key(crypto_sign_PUBLICKEYBYTES, '\0');
    key.secret_key = QByteArray(crypto_sign_SECRETKEYBYTES, '\0');
    crypto_sign_keypair(bytes_of(public_key), bytes_of(key.secret_key));
    return key;
}

minisign_files::SecretKey seal(const KeyPair& key, const QByteArray& password, quint64 opslimit, quint64 memlimit)
{
    minisign_files::SecretKey file;
    file.salt = QByteArray(minisign_files::salt_bytes, '\0');
    file.sealed = key.key_id + key.secret_key + checksum(key.key_id, key.secret_key);
    if (password.isEmpty() || !ready())
        return file;
    file.encrypted = true;
    file.opslimit = opslimit;
    file.memlimit = memlimit;
    randombytes_buf(bytes_of(file.salt), static_cast<size_t>(file.salt.size()));
    if (!apply_password(file.sealed, password, file))
        return {};
    return file;
}

std::optional<KeyPair> open(const minisign_files::SecretKey& file, const QByteArray& password, QString* why)
{
    if (!ready()) {
        *why = QStringLiteral("the cryptography library did not start");
        return std::nullopt;
    }
    QByteArray sealed = file.sealed;
    if (file.encrypted) {
        if (file.opslimit > sealing_opslimit || file.memlimit > sealing_memlimit) {
            *why = QStringLiteral("the key asks more of its password than minisign ever does");
            return std::nullopt;
        }
        if (!apply_password(sealed, password, file)) {
            *why = QStringLiteral("the password could not be applied (out of memory?)");
            return std::nullopt;
        }
    }
    KeyPair key;
    key.key_id = sealed.left(minisign_files::key_id_bytes);
    key.secret_key = sealed.mid(minisign_files::key_id_bytes, crypto_sign_SECRETKEYBYTES);
    const QByteArray sum = sealed.mid(minisign_files::key_id_bytes + crypto_sign_SECRETKEYBYTES);
    const QByteArray expected = checksum(key.key_id, key.secret_key);
    sodium_memzero(sealed.data(), static_cast<size_t>(sealed.size()));
    // minisign leaves the checksum of a key without a password empty; the key's own halves must still agree.
    const bool summed = sodium_memcmp(sum.constData(), expected.constData(), expected.size()) == 0 ||
                        (!file.encrypted && sum == QByteArray(sum.size(), '\0'));
    if (!summed || !consistent(key.secret_key)) {
        *why = file.encrypted ? QStringLiteral("wrong password, or a damaged key file")
                              : QStringLiteral("the key file is damaged");
        return std::nullopt;
    }
    return key;
}

} // namespace package_signature
