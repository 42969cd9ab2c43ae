#ifndef PACKAGE_BUILDER_H
#define PACKAGE_BUILDER_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Builds ZIP packages for the tests, entries written exactly as named (including crafted names
// such as "../x", absolute paths or folder entries ending in '/').
namespace package_builder
{

using Entry = QPair<QString, QByteArray>;

bool write_package(const QString& path, const QList<Entry>& entries);

// The entry names a package holds, in archive order.
QList<QString> entry_names(const QString& path);
// One entry's bytes, or a null array when it is missing.
QByteArray entry_data(const QString& path, const QString& name);

// Firmware text as the converter writes it: header lines, then records, each ended by CR only.
QByteArray converted_firmware(char board, int records, const QByteArray& tag = "S1");

// Every CR-terminated line of the bytes, with its CR; the CR-less remainder is left out.
QList<QByteArray> cr_lines(const QByteArray& bytes);

} // namespace package_builder

#endif // PACKAGE_BUILDER_H
