#ifndef ARCHIVE_H
#define ARCHIVE_H

#include <QByteArray>
#include <QIODevice>

#include <memory>
#include <vector>

// One firmware file in memory, cut after every CR. The last chunk holds whatever follows the
// final CR and is never sent, so line_count is one less than the number of chunks once loaded.
struct Archive {
    std::vector<std::unique_ptr<QByteArray>> lines;
    int line_count = 0;

    bool holds_lines() const { return !lines.empty(); }
};

namespace archive_rules
{

// Reads the device byte by byte until a read fails and cuts the bytes into the record's chunks,
// releasing whatever the record held before. Bytes are taken as they are, NUL and LF included.
void load(Archive& archive, QIODevice& device);

// Releases every chunk; an empty record is left as it is.
void clear(Archive& archive);

// What goes on the wire for a chunk: its bytes up to, not including, the first NUL.
QByteArray wire_bytes(const QByteArray& chunk);

} // namespace archive_rules

#endif // ARCHIVE_H
