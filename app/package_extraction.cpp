#include "app/package_extraction.h"

#include "app/package_rules.h"

#include <JlCompress.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

namespace package_extraction
{

namespace
{

// Creates the folder the package will be unpacked into; it never already exists.
QString create_target_folder(const QString& package_path)
{
    const QFileInfo preferred(package_rules::extraction_folder(package_path));
    if (!preferred.fileName().isEmpty() && !preferred.exists() &&
        QDir(preferred.absolutePath()).mkdir(preferred.fileName()))
        return preferred.absoluteFilePath();

    QTemporaryDir fresh(QDir::temp().filePath(QStringLiteral("vkt-update-XXXXXX")));
    if (!fresh.isValid())
        return QString();
    fresh.setAutoRemove(false);
    return fresh.path();
}

} // namespace

Extraction extract(const QString& package_path)
{
    Extraction extraction;
    const QString folder = create_target_folder(package_path);
    if (folder.isEmpty())
        return extraction;

    const QStringList written = JlCompress::extractDir(package_path, folder);
    for (const QString& path : written) {
        if (!path.endsWith(QLatin1Char('/')) && !QFileInfo(path).isDir())
            extraction.files.append(path);
    }
    if (written.isEmpty()) {
        QDir(folder).removeRecursively();
        return extraction;
    }
    extraction.folder = folder;
    return extraction;
}

void remove(Extraction& extraction)
{
    if (!extraction.folder.isEmpty())
        QDir(extraction.folder).removeRecursively();
    extraction = Extraction();
}

} // namespace package_extraction
