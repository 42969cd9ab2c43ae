#ifndef PACKAGE_RULES_H
#define PACKAGE_RULES_H

#include <QByteArray>
#include <QList>
#include <QString>

// Naming rules of firmware packages and their files. Paths use '/' separators.
namespace package_rules
{

// A package is recognised by ".vkt" anywhere in its path, compared case-sensitively.
bool is_package_name(const QString& path);

// The text after the last '/', or the whole text when it has none.
QString file_name(const QString& path);

// The folder beside the package named after the package's file name cut before its first '.';
// a name that begins with '.' gives the package's own directory.
QString extraction_folder(const QString& package_path);

// The file counter shown behind every status text: " (k / n)".
QString counter_text(int loaded, int total);

// A file whose name holds "event" in any letter case must be sent last.
bool is_event_file(const QString& path);

// Moves the first "event" file to the end; every other entry keeps its order.
void move_event_file_last(QList<QString>& files);

// The SHA-256 of a file's bytes in lower-case hex, by which support tells two copies of a package apart;
// empty when the file cannot be read to its end.
QByteArray sha256_hex(const QString& path);
// The same of bytes already read.
QByteArray bytes_sha256_hex(const QByteArray& bytes);

} // namespace package_rules

#endif // PACKAGE_RULES_H
