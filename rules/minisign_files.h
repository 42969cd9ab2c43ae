#ifndef MINISIGN_FILES_H
#define MINISIGN_FILES_H

#include <QByteArray>
#include <QSet>
#include <QString>

// The files of minisign's format, read and written byte for byte as the stock `minisign` tool does, so that either
// side verifies what the other signs: public keys, signatures, secret keys, and our own list of revoked key IDs.
// Pure functions of their bytes, with no I/O and no cryptography.
namespace minisign_files
{

constexpr int key_id_bytes = 8;
constexpr int public_key_bytes = 32;
constexpr int secret_key_bytes = 64; // Ed25519's seed followed by the public key
constexpr int signature_bytes = 64;
constexpr int salt_bytes = 32;
constexpr int checksum_bytes = 32;
// Key ID, secret key and checksum: the part of a secret key file that a password encrypts.
constexpr int sealed_bytes = key_id_bytes + secret_key_bytes + checksum_bytes;
// Far above any real file of the format, small enough that a file of garbage is never read whole.
constexpr int largest_file_bytes = 16 * 1024;

struct PublicKey {
    QByteArray key_id; // as stored: minisign prints it reversed, see key_id_text()
    QByteArray key;
};

struct Signature {
    // Ed25519 over the BLAKE2b-512 of the file ("ED"); false for the legacy form over the file itself ("Ed").
    bool prehashed = true;
    QByteArray key_id;
    QByteArray signature;
    QByteArray trusted_comment;  // without its prefix and line end
    QByteArray global_signature; // over signature + trusted comment
};

struct SecretKey {
    bool encrypted = false; // scrypt with the salt and limits below; otherwise they are zero
    QByteArray salt;
    quint64 opslimit = 0;
    quint64 memlimit = 0;
    QByteArray sealed; // key ID, secret key and checksum, encrypted when `encrypted`
};

// Each is false, with why, for anything that is not exactly a file of its kind; line ends may be LF or CR LF.
bool parse_public_key(const QByteArray& file, PublicKey* key, QString* why = nullptr);
bool parse_signature(const QByteArray& file, Signature* signature, QString* why = nullptr);
bool parse_secret_key(const QByteArray& file, SecretKey* key, QString* why = nullptr);

QByteArray public_key_file(const PublicKey& key);
QByteArray signature_file(const Signature& signature, const QByteArray& untrusted_comment);
QByteArray secret_key_file(const SecretKey& key);
// The bytes minisign signs beside the trusted comment: the file's signature, then the comment.
QByteArray global_message(const Signature& signature);

// A key ID as minisign prints it and as a revocation list names it: 16 upper-case hex digits of the ID read as a
// little-endian number.
QString key_id_text(const QByteArray& key_id);
// The reverse, letter case aside; empty for anything else.
QByteArray key_id_from_text(const QString& text);

// A revocation list: one key ID a line; blank lines, and everything after a '#', are ignored.
struct Revocations {
    QSet<QByteArray> key_ids;
    int bad_line = 0; // the first line that is neither, counted from 1; 0 when every line is sound
};
Revocations parse_revocations(const QByteArray& file);

} // namespace minisign_files

#endif // MINISIGN_FILES_H
