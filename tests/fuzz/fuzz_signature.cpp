// Arbitrary bytes read as each file of the signatures' format: a public key, a signature, a secret key or a revocation
// list (the first byte says which). Whatever parses is written back and must read the same, a signature is judged
// against a trusted key over a fixed package, and a secret key without a password is opened.
#include "rules/minisign_files.h"
#include "rules/package_signature.h"
#include "rules/package_trust.h"

namespace
{

// The seeds' key (minisign -G -W) and the package its seed signatures cover.
const QByteArray trusted_key = "untrusted comment: minisign public key A70D1132597705E3\n"
                               "RWTjBXdZMhENp1YtALizgsnJVUAQ2XEVm6iiBrLGBimW1v7BvQQf+Hb2\n";
const QByteArray package = "hello\n";

void check(bool holds)
{
    if (!holds)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray file(reinterpret_cast<const char*>(data) + 1, static_cast<int>(size - 1));
    QString why;
    switch (data[0] % 4) {
    case 0: {
        minisign_files::PublicKey key, again;
        if (minisign_files::parse_public_key(file, &key, &why))
            check(minisign_files::parse_public_key(minisign_files::public_key_file(key), &again) &&
                  again.key_id == key.key_id && again.key == key.key);
        break;
    }
    case 1: {
        minisign_files::Signature signature, again;
        if (minisign_files::parse_signature(file, &signature, &why))
            check(minisign_files::parse_signature(minisign_files::signature_file(signature, "x"), &again) &&
                  again.prehashed == signature.prehashed && again.key_id == signature.key_id &&
                  again.signature == signature.signature && again.trusted_comment == signature.trusted_comment &&
                  again.global_signature == signature.global_signature);
        static const package_trust::TrustStore trust = [] {
            package_trust::TrustStore store;
            minisign_files::PublicKey key;
            store.enforcing = minisign_files::parse_public_key(trusted_key, &key);
            store.keys = {key};
            return store;
        }();
        const package_trust::Verdict verdict = package_trust::judge(package, file, trust);
        check(verdict.refusal.isNull() == (verdict.state == package_trust::State::verified));
        break;
    }
    case 2: {
        minisign_files::SecretKey key, again;
        if (!minisign_files::parse_secret_key(file, &key, &why))
            break;
        check(minisign_files::parse_secret_key(minisign_files::secret_key_file(key), &again) &&
              again.encrypted == key.encrypted && again.salt == key.salt && again.opslimit == key.opslimit &&
              again.memlimit == key.memlimit && again.sealed == key.sealed);
        // A password costs seconds of scrypt by design; only keys without one are opened here.
        if (!key.encrypted)
            package_signature::open(key, QByteArray(), &why);
        break;
    }
    default: {
        const minisign_files::Revocations revocations = minisign_files::parse_revocations(file);
        for (const QByteArray& key_id : revocations.key_ids)
            check(minisign_files::key_id_from_text(minisign_files::key_id_text(key_id)) == key_id);
    }
    }
    return 0;
}
