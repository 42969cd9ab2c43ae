#include "support/package_builder.h"

#include "rules/firmware_rules.h"

#include <quazip.h>
#include <quazipfile.h>
#include <quazipnewinfo.h>

#include <QDirIterator>

namespace package_builder
{

bool write_package(const QString& path, const QList<Entry>& entries)
{
    QuaZip zip(path);
    bool ok = zip.open(QuaZip::mdCreate);
    const QByteArray block(1 << 20, '\0');
    for (const Entry& entry : entries) {
        QuaZipNewInfo info(entry.name);
        info.externalAttr = entry.mode << 16;
        QuaZipFile file(&zip);
        ok = ok && file.open(QIODevice::WriteOnly, info) && file.write(entry.bytes) == entry.bytes.size();
        for (qint64 left = entry.zeros; ok && left > 0; left -= block.size())
            ok = file.write(block) == block.size();
        file.close();
        ok = ok && file.getZipError() == UNZ_OK;
    }
    zip.close();
    return ok && zip.getZipError() == UNZ_OK;
}

QMap<QString, QByteArray> snapshot(const QString& root)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        const QFileInfo info = it.fileInfo();
        entries.insert(QDir(root).relativeFilePath(info.filePath()),
                       info.isSymLink() ? "-> " + QFile::encodeName(info.symLinkTarget())
                       : info.isDir()   ? QByteArray("<folder>")
                       : info.isFile() && file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                         : QByteArray("<special>"));
    }
    return entries;
}

QByteArray converted_firmware(char board, int records, const QByteArray& tag)
{
    QByteArray raw;
    for (int i = 0; i < records; ++i)
        raw += tag + QByteArray::number(i, 16).rightJustified(6, '0').toUpper() + "AABBCCDD\r\n";
    return firmware_rules::rewritten(raw, board);
}

QList<QByteArray> cr_lines(const QByteArray& bytes)
{
    QList<QByteArray> lines = bytes.split('\r');
    lines.removeLast();
    for (QByteArray& line : lines)
        line += '\r';
    return lines;
}

} // namespace package_builder
