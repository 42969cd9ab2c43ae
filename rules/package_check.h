#ifndef PACKAGE_CHECK_H
#define PACKAGE_CHECK_H

#include <QList>
#include <QString>
#include <QStringList>

// A package proven without any device: unpacked as an update unpacks it, and each file's lines put to the check the
// equipment runs on what it receives, so that a package that would fail in the field fails here first.
namespace package_check
{

struct FileCheck {
    QString name; // as packed, without its folder
    qint64 bytes = 0;
    int lines = 0;  // CR-terminated lines, header included, and a last line without its CR
    char board = 0; // the header's identifier; 0 when the header has none
    QStringList problems;
};

struct PackageCheck {
    QString refusal;        // why the package could not be unpacked, as an update shows it; null when it was
    QList<FileCheck> files; // in the order an update sends them
    bool sound() const;
};

// Unpacks the package into a folder of its own, checks every file and removes what the unpacking created.
PackageCheck check(const QString& package_path);
// The same from the package's bytes as already read (and verified); the path names the extraction folder.
PackageCheck check(const QString& package_path, const QByteArray& package);

// The lines of a file as they would reach the equipment: cut after every CR. Bytes after the last CR are never sent,
// so they are kept as a line of their own for the check to find them without their CR.
QList<QByteArray> received_lines(const QByteArray& file);

// A header's identifier as the checks print it: "none" when the header has none.
QString board_text(char board);

} // namespace package_check

#endif // PACKAGE_CHECK_H
