#ifndef PACKAGE_SIGNATURE_H
#define PACKAGE_SIGNATURE_H

#include "rules/minisign_files.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Signing and verifying as minisign does, every primitive libsodium's: Ed25519 over the BLAKE2b-512 of the bytes,
// and over the signature and its trusted comment; secret keys sealed with scrypt and checked with BLAKE2b-256.
namespace package_signature
{

struct KeyPair {
    QByteArray key_id;
    QByteArray secret_key; // Ed25519's 64 bytes, the public key in its second half
    minisign_files::PublicKey public_key() const;
};

// minisign's own limits for a key it seals: what makes a stolen key file costly to guess at.
constexpr quint64 sealing_opslimit = 33554432;
constexpr quint64 sealing_memlimit = 1073741824;

// True only when both the signature over the bytes and the one over the trusted comment hold for this key.
bool verify(const minisign_files::Signature& signature, const minisign_files::PublicKey& key, const QByteArray& bytes);

// The prehashed form, as minisign writes by default. The comment must be one line.
minisign_files::Signature sign(const KeyPair& key, const QByteArray& bytes, const QByteArray& trusted_comment);

KeyPair new_key_pair();

// Unencrypted with an empty password, as `minisign -W` writes it.
minisign_files::SecretKey seal(const KeyPair& key, const QByteArray& password, quint64 opslimit = sealing_opslimit,
                               quint64 memlimit = sealing_memlimit);
// The key, or nothing and why: a wrong password and a damaged file both fail the key's checksum. Limits above
// minisign's own are refused rather than spent.
std::optional<KeyPair> open(const minisign_files::SecretKey& file, const QByteArray& password, QString* why);

} // namespace package_signature

#endif // PACKAGE_SIGNATURE_H
