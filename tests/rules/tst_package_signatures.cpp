#include "rules/package_extraction.h"
#include "rules/package_signing.h"
#include "rules/package_trust.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace package_signature;

namespace
{

const QByteArray comment = "equipamento: Linha X; arquivos (1): MAIN_1.s";

bool minisign(const QStringList& args)
{
    QProcess process;
    process.start("minisign", args);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

} // namespace

class tst_package_signatures : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void verdicts_data();
    void verdicts();
    void unpacks_the_bytes_it_verified();
    void secret_keys_data();
    void secret_keys();

private:
    QTemporaryDir dir;
    QMap<QString, KeyPair> keys; // "A", "B", "C" ours; "M" the stock tool's
    QString package, other;
};

void tst_package_signatures::initTestCase()
{
    for (const char* name : {"A", "B", "C"}) {
        keys[name] = new_key_pair();
        QVERIFY(
            write_file(dir.filePath(QString(name) + ".pub"), minisign_files::public_key_file(keys[name].public_key())));
    }
    QVERIFY2(minisign({"-G", "-W", "-p", dir.filePath("M.pub"), "-s", dir.filePath("M.key")}), "stock minisign");
    QString why;
    const auto stock = package_signing::load_key(
        dir.filePath("M.key"), [] { return QByteArray(); }, &why);
    QVERIFY2(stock, qPrintable(why));
    keys["M"] = *stock;
    // The stock tool's key without a password, as it writes it, opens with the public key it wrote beside it.
    minisign_files::PublicKey written;
    QVERIFY(minisign_files::parse_public_key(read_file(dir.filePath("M.pub")), &written));
    QCOMPARE(written.key + written.key_id, stock->public_key().key + stock->key_id);
    package = dir.filePath("Linha_X#1.vkt");
    other = dir.filePath("Outro#1.vkt");
    QVERIFY(package_builder::write_package(package, {{"MAIN_1.s", package_builder::converted_firmware('C', 5)}}));
    QVERIFY(package_builder::write_package(other, {{"MAIN_1.s", package_builder::converted_firmware('C', 6)}}));
}

void tst_package_signatures::verdicts_data()
{
    QTest::addColumn<QString>("signed_by"); // a key's name, or how the signature file was made
    QTest::addColumn<QString>("installed"); // the trusted keys' names
    QTest::addColumn<QString>("revoked");   // the revocation list, %1 for A's key ID
    QTest::addColumn<QString>("state");     // the record's word, or the refusal's reason
    QTest::addColumn<QString>("text");      // %1: the signer's key ID

    QTest::newRow("nothing installed, no signature") << ""
                                                     << ""
                                                     << ""
                                                     << "none"
                                                     << "";
    QTest::newRow("nothing installed, a signature") << "A"
                                                    << ""
                                                    << ""
                                                    << "unchecked"
                                                    << "";
    QTest::newRow("nothing installed, garbage beside") << "garbage"
                                                       << ""
                                                       << ""
                                                       << "unreadable"
                                                       << "";
    QTest::newRow("good") << "A"
                          << "A"
                          << ""
                          << "verified"
                          << "";
    QTest::newRow("no signature") << ""
                                  << "A"
                                  << ""
                                  << "unsigned"
                                  << "Erro! Pacote sem assinatura";
    const QString bad = "Erro! Assinatura inválida: pacote alterado";
    QTest::newRow("one byte of the package changed") << "A changed"
                                                     << "A"
                                                     << ""
                                                     << "bad_signature" << bad;
    QTest::newRow("signature of another package") << "A other"
                                                  << "A"
                                                  << ""
                                                  << "bad_signature" << bad;
    QTest::newRow("trusted comment changed") << "A comment"
                                             << "A"
                                             << ""
                                             << "bad_signature" << bad;
    QTest::newRow("unknown key") << "C"
                                 << "AB"
                                 << ""
                                 << "unknown_key"
                                 << "Erro! Assinado por chave desconhecida: %1";
    QTest::newRow("revoked key") << "A"
                                 << "AB"
                                 << "# old key\n%1\n"
                                 << "revoked_key"
                                 << "Erro! Assinado por chave revogada: %1";
    const QString unreadable = "Erro! Arquivo de assinatura ilegível";
    QTest::newRow("truncated signature") << "A truncated"
                                         << "A"
                                         << ""
                                         << "bad_signature_file" << unreadable;
    QTest::newRow("garbage signature") << "garbage"
                                       << "A"
                                       << ""
                                       << "bad_signature_file" << unreadable;
    QTest::newRow("rotation: the old key") << "A"
                                           << "AB"
                                           << ""
                                           << "verified"
                                           << "";
    QTest::newRow("rotation: the new key, the old revoked") << "B"
                                                            << "AB"
                                                            << "%1 # retired"
                                                            << "verified"
                                                            << "";
    QTest::newRow("revocation list unreadable") << "A"
                                                << "AB"
                                                << "%1\nA7"
                                                << "bad_revocation_list"
                                                << "Erro! Lista de chaves revogadas ilegível: %2, linha 2";
    QTest::newRow("stock minisign") << "M"
                                    << "M"
                                    << ""
                                    << "verified"
                                    << "";
    QTest::newRow("stock minisign, legacy form") << "M legacy"
                                                 << "M"
                                                 << ""
                                                 << "verified"
                                                 << "";
}

// What the field decides for each package beside each set of trusted keys.
void tst_package_signatures::verdicts()
{
    QFETCH(QString, signed_by);
    QFETCH(QString, installed);
    QFETCH(QString, revoked);
    QFETCH(QString, state);
    QFETCH(QString, text);
    QTemporaryDir work;
    const QString path = work.filePath("Linha_X#1.vkt"), signature = path + ".minisig";
    QVERIFY(QFile::copy(signed_by.endsWith("other") ? other : package, path));
    const QString signer = signed_by.left(1);
    if (signer == "M") {
        QVERIFY(minisign(QStringList{"-S", "-W", "-s", dir.filePath("M.key"), "-m", path, "-t", comment} +
                         (signed_by.endsWith("legacy") ? QStringList{"-l"} : QStringList())));
    } else if (keys.contains(signer)) {
        QVERIFY(write_file(signature,
                           minisign_files::signature_file(sign(keys[signer], read_file(path), comment), "test")));
    }
    if (signed_by.endsWith("other"))
        QVERIFY(QFile::remove(path) && QFile::copy(package, path));
    QByteArray sig = read_file(signature), bytes = read_file(path);
    if (signed_by.endsWith("comment")) {
        sig[sig.size() - 95] = char(sig.at(sig.size() - 95) ^ 1);
        QVERIFY(write_file(signature, sig));
    }
    if (signed_by.endsWith("changed")) {
        bytes[bytes.size() - 30] = char(bytes.at(bytes.size() - 30) ^ 1);
        QVERIFY(write_file(path, bytes));
    }
    if (signed_by.endsWith("truncated"))
        QVERIFY(write_file(signature, sig.left(sig.size() / 2)));
    if (signed_by == "garbage")
        QVERIFY(write_file(signature, "untrusted comment: x\nnot base64\n"));
    const QString keys_folder = work.filePath("keys");
    QVERIFY(QDir().mkpath(keys_folder));
    for (const QChar& name : installed)
        QVERIFY(QFile::copy(dir.filePath(QString(name) + ".pub"), keys_folder + '/' + name + ".pub"));
    const QString list = keys_folder + "/revoked-keys.txt";
    if (!revoked.isEmpty())
        QVERIFY(write_file(list, revoked.arg(minisign_files::key_id_text(keys["A"].key_id)).toUtf8()));

    const package_trust::PackageBytes read = package_trust::read(path, package_trust::load({keys_folder}));
    const package_trust::Verdict& verdict = read.verdict;
    const QString key_id = keys.contains(signer) ? minisign_files::key_id_text(keys[signer].key_id) : QString();
    QCOMPARE(verdict.state == package_trust::State::refused ? verdict.reason : package_trust::state_word(verdict.state),
             state);
    QCOMPARE(verdict.refusal, text.isEmpty() ? QString() : QString(text).replace("%1", key_id).replace("%2", list));
    const bool unreadable = signed_by.isEmpty() || signed_by == "garbage" || signed_by.endsWith("truncated");
    QCOMPARE(verdict.key_id, unreadable || state == "bad_revocation_list" ? QString() : key_id);
    QCOMPARE(verdict.trusted_comment, state == "verified" ? QString(comment) : QString());
}

// The file is swapped for another package between the check and the unpacking: the unpacking never reads it again.
void tst_package_signatures::unpacks_the_bytes_it_verified()
{
    QTemporaryDir work;
    const QString path = work.filePath("P#1.vkt");
    QVERIFY(QFile::copy(package, path));
    QVERIFY(write_file(path + ".minisig",
                       minisign_files::signature_file(sign(keys["A"], read_file(path), comment), "test")));
    QVERIFY(QFile::copy(dir.filePath("A.pub"), work.filePath("A.pub")));
    const package_trust::PackageBytes read = package_trust::read(path, package_trust::load({work.path()}));
    QCOMPARE(read.verdict.state, package_trust::State::verified);
    QVERIFY(QFile::remove(path) && QFile::copy(other, path));

    Extraction extraction = package_extraction::extract(path, read.bytes);
    QCOMPARE(extraction.files.size(), 1);
    QCOMPARE(read_file(extraction.files.first()), package_builder::converted_firmware('C', 5));
    package_extraction::remove(extraction);
}

void tst_package_signatures::secret_keys_data()
{
    QTest::addColumn<QByteArray>("sealed_with");
    QTest::addColumn<QByteArray>("opened_with");
    QTest::addColumn<quint64>("memlimit");
    QTest::addColumn<QString>("why"); // empty when it opens
    // The least scrypt libsodium allows, so that a row costs milliseconds, not minisign's seconds.
    const quint64 small = 16 << 20;
    QTest::newRow("no password") << QByteArray() << QByteArray() << small << "";
    QTest::newRow("the right password") << QByteArray("s3nha") << QByteArray("s3nha") << small << "";
    QTest::newRow("a wrong password") << QByteArray("s3nha") << QByteArray("senha") << small
                                      << "wrong password, or a damaged key file";
    QTest::newRow("limits beyond minisign's") << QByteArray("s3nha") << QByteArray("s3nha") << (sealing_memlimit + 1)
                                              << "the key asks more of its password than minisign ever does";
}

// A sealed key goes through its file and back; only the right password opens it, and no file makes us spend more
// than minisign would.
void tst_package_signatures::secret_keys()
{
    QFETCH(QByteArray, sealed_with);
    QFETCH(QByteArray, opened_with);
    QFETCH(quint64, memlimit);
    QFETCH(QString, why);
    const KeyPair& key = keys["B"];
    minisign_files::SecretKey file;
    QVERIFY(minisign_files::parse_secret_key(
        minisign_files::secret_key_file(seal(key, sealed_with, 32768, std::min<quint64>(memlimit, 16 << 20))), &file));
    QCOMPARE(file.encrypted, !sealed_with.isEmpty());
    QVERIFY(!minisign_files::parse_secret_key(minisign_files::secret_key_file(file) + "x\n", &file));
    file.memlimit = sealed_with.isEmpty() ? 0 : memlimit;
    QString problem;
    const std::optional<KeyPair> opened = open(file, opened_with, &problem);
    QCOMPARE(problem, why);
    QCOMPARE(opened.has_value(), why.isEmpty());
    if (opened)
        QCOMPARE(opened->secret_key + opened->key_id, key.secret_key + key.key_id);
}

QTEST_GUILESS_MAIN(tst_package_signatures)
#include "tst_package_signatures.moc"
