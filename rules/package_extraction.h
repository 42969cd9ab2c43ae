#ifndef PACKAGE_EXTRACTION_H
#define PACKAGE_EXTRACTION_H

#include <QList>
#include <QString>
#include <QStringList>

// What one unpacking of a package created. Only this is ever removed again, so a folder of the
// operator's that happens to carry the extraction folder's name is never touched.
struct Extraction {
    QString folder;         // a folder this program created for the package; empty when none
    QList<QString> files;   // the firmware files unpacked into it, in the archive's order
    QStringList subfolders; // folders created inside it for nested entries, outer ones first
    QString refusal;        // why the package was not unpacked; null when it was
    QString note;           // the note of what was created, kept until it is removed; empty when none was kept
};

namespace package_extraction
{

// Firmware files run from kilobytes to a few megabytes and a package holds one per board, so no
// real package comes near these; a package that does is refused before anything is written, and
// no file bigger than one record can ever be loaded.
constexpr int max_entries = 1000;
constexpr qint64 max_file_bytes = 16 * 1024 * 1024;
constexpr qint64 max_package_bytes = 128 * 1024 * 1024;
// The package file itself, read whole to be verified and unpacked from memory: its entries' bound, as stored
// entries take their own size and deflate adds a few bytes a block, and room for a thousand entries' headers.
constexpr qint64 max_package_file_bytes = max_package_bytes + 16 * 1024 * 1024;

// Unpacks the package into its extraction folder when that folder does not exist yet, and into a
// fresh folder of the program's own otherwise. The archive's directory is checked first: a link,
// an unsafe or repeated name, or a package over the bounds is refused with nothing written. Folder
// entries are not firmware files and are left out of the list. On failure nothing is left behind,
// the lists are empty and the refusal says why.
Extraction extract(const QString& package_path);
// The same from the package's bytes as already read, so that what was verified is exactly what is unpacked; the
// path only names the extraction folder.
Extraction extract(const QString& package_path, const QByteArray& package);

// The names of the package's entries, checked as an unpacking checks them; the refusal's text when it would be
// refused. Nothing is written.
QStringList entry_names(const QByteArray& package, QString* refusal);

// Removes what the unpacking created, and only that, and forgets it, note included.
void remove(Extraction& extraction);

// A program killed while it had a package unpacked (SIGKILL, a crash, the power) cannot remove the files. So what an
// unpacking created is noted in `notes_folder` until it is removed, and at its next start any of the programs removes
// what a process that no longer runs left, as remove() would have. A note that cannot be written costs nothing else.
QString default_notes_folder(); // beside the program's reports and service logs
void keep_note(Extraction& extraction, const QString& notes_folder = default_notes_folder());
void remove_abandoned(const QString& notes_folder = default_notes_folder());

} // namespace package_extraction

#endif // PACKAGE_EXTRACTION_H
