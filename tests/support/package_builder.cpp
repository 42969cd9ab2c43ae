#include "support/package_builder.h"

#include "converter/firmware_rules.h"

#include <quazip.h>
#include <quazipfile.h>
#include <quazipnewinfo.h>

namespace package_builder
{

bool write_package(const QString& path, const QList<Entry>& entries)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (const Entry& entry : entries) {
        QuaZipFile file(&zip);
        if (!file.open(QIODevice::WriteOnly, QuaZipNewInfo(entry.first)))
            return false;
        if (file.write(entry.second) != entry.second.size())
            return false;
        file.close();
        if (file.getZipError() != UNZ_OK)
            return false;
    }
    zip.close();
    return zip.getZipError() == UNZ_OK;
}

QList<QString> entry_names(const QString& path)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdUnzip))
        return {};
    return zip.getFileNameList();
}

QByteArray entry_data(const QString& path, const QString& name)
{
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdUnzip) || !zip.setCurrentFile(name))
        return QByteArray();
    QuaZipFile file(&zip);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray data = file.readAll();
    if (data.isNull())
        data = QByteArray("");
    return data;
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
    QList<QByteArray> lines;
    int start = 0;
    for (int i = 0; i < bytes.size(); ++i) {
        if (bytes.at(i) == '\r') {
            lines.append(bytes.mid(start, i - start + 1));
            start = i + 1;
        }
    }
    return lines;
}

} // namespace package_builder
