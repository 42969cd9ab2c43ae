#ifndef PACKAGE_BUILDER_H
#define PACKAGE_BUILDER_H

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>

// Builds ZIP packages for the tests, entries written exactly as named (including crafted names such as "../x", absolute
// paths or folder entries ending in '/').
namespace package_builder
{

struct Entry {
    QString name;
    QByteArray bytes;
    quint32 mode = 0; // Unix type and permission bits; a link's bytes are its target
    qint64 zeros = 0; // appended block by block, so that a giant is never held in memory
};

bool write_package(const QString& path, const QList<Entry>& entries);

// Everything under root by relative path: a file's bytes, "-> target" for a link, "<folder>" or "<special>". Only
// regular files are opened, so a FIFO cannot block it.
QMap<QString, QByteArray> snapshot(const QString& root);

// Firmware text as the converter writes it: header lines, then records, each ended by CR only.
QByteArray converted_firmware(char board, int records, const QByteArray& tag = "S1");

// Every CR-terminated line of the bytes, with its CR; the CR-less remainder is left out.
QList<QByteArray> cr_lines(const QByteArray& bytes);

} // namespace package_builder

Q_DECLARE_METATYPE(QList<package_builder::Entry>)

#endif // PACKAGE_BUILDER_H
