// Times opening a package of about 16 MB as the window and the command line open it, unsigned with no key installed
// against signed and verified with a key installed, runs alternating, and prints the medians and their ratio.
// Usage: signature_bench [work folder] (default: the system's temporary folder).

#include "engine/update_engine.h"
#include "rules/package_rules.h"
#include "rules/package_signing.h"
#include "support/package_builder.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace
{

// Enough alternating runs for stable medians on a shared machine.
constexpr int runs = 11;
// The package file's size the verification is measured at.
constexpr qint64 package_bytes = 16 * 1024 * 1024;
constexpr int files = 8;

// S-record text of random data: it compresses about as a real image does (hex digits, half their bits random).
QByteArray firmware(qint64 bytes, QRandomGenerator& random)
{
    QByteArray text = package_builder::converted_firmware('C', 1).left(12);
    QByteArray data(32, '\0');
    while (text.size() < bytes) {
        for (char& byte : data)
            byte = static_cast<char>(random.bounded(256));
        text += "S2240000" + data.toHex().toUpper() + "00\r";
    }
    return text;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double open_ms(const QString& package)
{
    UpdateEngine engine{QString()};
    QElapsedTimer clock;
    clock.start();
    const UpdateEngine::PackageOpening opening = engine.open_package(package);
    const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    if (!opening.accepted)
        std::printf("refused: %s\n", qPrintable(opening.refusal));
    engine.abandon();
    return ms;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QString base = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QTemporaryDir work(base + QStringLiteral("/signature-bench-XXXXXX"));
    const QString unsigned_package = work.filePath(QStringLiteral("Unsigned#1.vkt"));
    const QString signed_package = work.filePath(QStringLiteral("Signed#1.vkt"));
    QRandomGenerator random(7);
    QList<package_builder::Entry> entries;
    // Hex text deflates to a little over half its size.
    for (int i = 0; i < files; ++i)
        entries.append({QStringLiteral("BOARD_%1.s19").arg(i), firmware(package_bytes * 2 / files * 15 / 16, random)});
    if (!package_builder::write_package(unsigned_package, entries) || !QFile::copy(unsigned_package, signed_package))
        return 1;

    const QString no_keys = work.filePath(QStringLiteral("no-keys")), keys = work.filePath(QStringLiteral("keys"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(keys));
    const QString trusted = package_trust::default_folders().last();
    QString key_id, why;
    if (!QDir().mkpath(trusted) ||
        !package_signing::write_key_pair(work.filePath(QStringLiteral("k.key")), trusted + QStringLiteral("/k.pub"), {},
                                         &key_id, &why))
        return 1;
    const auto key = package_signing::load_key(
        work.filePath(QStringLiteral("k.key")), [] { return QByteArray(); }, &why);
    if (!key || !package_signing::sign_package(signed_package, *key, &why))
        return 1;

    // The verification alone, and the record's hash it runs beside, on the same bytes.
    const QByteArray bytes = package_trust::read(signed_package, package_trust::TrustStore()).bytes;
    const QByteArray signature = package_trust::read(signed_package + QStringLiteral(".minisig"), {}).bytes;
    const package_trust::TrustStore trust = package_trust::installed();
    std::vector<double> verifying, hashing;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer clock;
        clock.start();
        const bool good = package_trust::judge(bytes, signature, trust).state == package_trust::State::verified;
        verifying.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        clock.restart();
        const bool hashed = !package_rules::bytes_sha256_hex(bytes).isEmpty();
        hashing.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
        if (!good || !hashed)
            return 1;
    }

    std::vector<double> plain, verified;
    for (int i = 0; i < runs; ++i) {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(no_keys));
        plain.push_back(open_ms(unsigned_package));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(keys));
        verified.push_back(open_ms(signed_package));
    }
    std::printf("package %.1f MB (%d files, %.1f MB unpacked)\n",
                static_cast<double>(QFile(signed_package).size()) / (1 << 20), files,
                static_cast<double>(files * entries.first().bytes.size()) / (1 << 20));
    std::printf("open, no key installed, unsigned:  median %.1f ms\n", median(plain));
    std::printf("open, key installed, verified:     median %.1f ms\n", median(verified));
    std::printf("verified / unsigned: %.3f\n", median(verified) / median(plain));
    std::printf("the verification alone: median %.1f ms, beside the record's SHA-256: median %.1f ms\n",
                median(verifying), median(hashing));
    return 0;
}
