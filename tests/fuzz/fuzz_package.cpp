// Arbitrary bytes opened as a package the way the window opens one: unpacked with the real bounds and refusals, every
// file loaded as a firmware record, the unpacking removed again.
#include "rules/archive.h"
#include "rules/package_extraction.h"

#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const QTemporaryDir work;
    // The temporary folder is made private too, so the fresh folder an unpacking falls back to is under watch as well.
    static const bool private_temp = qputenv("TMPDIR", QFile::encodeName(work.path()));
    const auto everything_there = [] {
        QStringList paths;
        for (QDirIterator it(work.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                             QDirIterator::Subdirectories);
             it.hasNext();)
            paths << it.next();
        paths.sort();
        return paths;
    };
    const QString package = work.path() + QStringLiteral("/package.vkt");
    QFile file(package);
    const auto bytes = static_cast<qint64>(size);
    if (!private_temp || !file.open(QIODevice::WriteOnly) ||
        file.write(reinterpret_cast<const char*>(data), bytes) != bytes)
        __builtin_trap();
    file.close();

    // Either refused with nothing written, or unpacked with every file and folder it made listed; every file loads, and
    // the removal leaves the package alone.
    Extraction extraction = package_extraction::extract(package);
    QStringList made = QStringList{package, extraction.folder} + extraction.files + extraction.subfolders;
    made.removeAll(QString());
    made.sort();
    const bool refused = !extraction.refusal.isNull();
    bool sound =
        refused == extraction.files.isEmpty() && refused == extraction.folder.isEmpty() && everything_there() == made;
    for (const QString& path : qAsConst(extraction.files)) {
        Archive archive;
        sound = sound && archive_rules::load_file(archive, path) && archive.line_count == archive.bytes.count('\r');
    }
    package_extraction::remove(extraction);
    if (!sound || everything_there() != QStringList{package})
        __builtin_trap();
    return 0;
}
