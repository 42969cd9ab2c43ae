#ifndef PACKAGE_TRUST_H
#define PACKAGE_TRUST_H

#include "rules/minisign_files.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

// Which packages are trusted: the minisign public keys installed for the system and for the user, less the key IDs
// a revocation list names. With no key installed nothing is enforced and a package goes as it always went; with
// one, a package must carry a signature by a trusted key that is not revoked, checked before anything is unpacked.
namespace package_trust
{

// Where public keys (*.pub) and the revocation list are looked for.
const char* const keys_folder_name = "trusted-keys";
const char* const revocation_file_name = "revoked-keys.txt";
// Beside the package: NAME.vkt.minisig.
const char* const signature_suffix = ".minisig";

struct TrustStore {
    QList<minisign_files::PublicKey> keys;
    QSet<QByteArray> revoked;
    // A key file was installed, readable or not: from then on every package must prove itself.
    bool enforcing = false;
    // A revocation list with an unreadable line, as "FILE, line N"; empty when every list was read.
    QString damaged_list;
};

// The system's folder (/etc/vkt_update_tool/trusted-keys on Linux) and the user's, under the user's configuration
// folder. Nothing else, and no environment variable of the program's own, decides what is trusted.
QStringList default_folders();
TrustStore load(const QStringList& folders);
inline TrustStore installed()
{
    return load(default_folders());
}

enum class State {
    none,       // no signature beside the package
    unreadable, // a signature file that is not one, with nothing installed to mind it
    unchecked,  // a signature, with no key installed to check it
    verified,   // by a trusted key that is not revoked
    refused,
};

struct Verdict {
    State state = State::none;
    QString key_id; // as minisign prints it; empty when no signature could be read
    QString trusted_comment;
    QString refusal; // the text the operator reads; null unless refused
    QString reason;  // a stable word for scripts; empty unless refused
};

// The decision on a package's bytes and its signature file's (null when there is none).
Verdict judge(const QByteArray& package, const QByteArray& signature_file, const TrustStore& trust);

// A package file is read once, and only what was read is verified, hashed and unpacked: it cannot be swapped
// between the check and its use.
struct PackageBytes {
    QByteArray bytes;  // empty when the file could not be read, which the unpacking then refuses as damaged
    QByteArray sha256; // of the bytes, in hex, for the record; empty when nothing was read
    Verdict verdict;
};
PackageBytes read(const QString& path, const TrustStore& trust);

// The stable word for the record: "none", "unreadable", "unchecked" or "verified" ("refused" never reaches one).
QString state_word(State state);
// One line for the service log and for --check: the state, the key and the trusted comment where there are.
QString describe(const Verdict& verdict);
// A trusted comment as one line of text: control characters become blanks.
QString comment_text(const QByteArray& comment);

} // namespace package_trust

#endif // PACKAGE_TRUST_H
