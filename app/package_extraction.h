#ifndef PACKAGE_EXTRACTION_H
#define PACKAGE_EXTRACTION_H

#include <QList>
#include <QString>

// What one unpacking of a package created. Only this is ever removed again, so a folder of the
// operator's that happens to carry the extraction folder's name is never touched.
struct Extraction {
    QString folder;       // a folder this program created for the package; empty when none
    QList<QString> files; // the firmware files unpacked into it, in the archive's order
};

namespace package_extraction
{

// Unpacks the package into its extraction folder when that folder does not exist yet, and
// into a fresh folder of the program's own otherwise. Folder entries of the archive are not
// firmware files and are left out of the list. On failure nothing is left behind and the
// result is empty.
Extraction extract(const QString& package_path);

// Removes what the unpacking created, with whatever is left in it, and forgets it.
void remove(Extraction& extraction);

} // namespace package_extraction

#endif // PACKAGE_EXTRACTION_H
