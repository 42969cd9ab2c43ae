#ifndef ARCHIVE_H
#define ARCHIVE_H

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <vector>

// One firmware file in memory, cut after every CR. The last chunk holds whatever follows the
// final CR and is never sent, so line_count is one less than the number of chunks once loaded.
// The file is kept whole with the offsets of its line ends: a file of bare CRs would otherwise
// cost a separate allocation per byte.
struct Archive {
    QByteArray bytes;
    std::vector<int> line_ends; // the offset just after each CR
    int line_count = 0;
    bool loaded = false;

    bool holds_lines() const { return loaded; }
    // Chunk i of 0 to line_count, with its CR.
    QByteArray chunk(int i) const;
};

namespace archive_rules
{

// Reads the device until a read fails and cuts the bytes into the record's chunks, releasing
// whatever the record held before. Bytes are taken as they are, NUL and LF included. A device
// longer than any firmware file leaves the record empty and gives false.
bool load(Archive& archive, QIODevice& device);

// Loads a firmware file, which is only ever read. Anything but a regular file is refused, as is
// a file over the bound, with the record left empty: a link may lead out of the package's folder
// and a device such as /dev/zero never ends.
bool load_file(Archive& archive, const QString& path);

// The CR-terminated lines a firmware file would load as, counted without holding it; 0 when it
// cannot be read.
int line_count_of(const QString& path);

// Releases every chunk; an empty record is left as it is.
void clear(Archive& archive);

// What goes on the wire for a chunk: its bytes up to, not including, the first NUL.
QByteArray wire_bytes(const QByteArray& chunk);

} // namespace archive_rules

#endif // ARCHIVE_H
