#include "app/archive.h"

namespace archive_rules
{

namespace
{
constexpr char carriage_return = '\r';
}

void load(Archive& archive, QIODevice& device)
{
    clear(archive);
    archive.lines.push_back(std::make_unique<QByteArray>());
    char byte = 0;
    while (device.getChar(&byte)) {
        archive.lines.back()->append(byte);
        if (byte == carriage_return) {
            archive.lines.push_back(std::make_unique<QByteArray>());
            ++archive.line_count;
        }
    }
}

void clear(Archive& archive)
{
    archive.lines.clear();
    archive.line_count = 0;
}

QByteArray wire_bytes(const QByteArray& chunk)
{
    const int nul = chunk.indexOf('\0');
    return nul < 0 ? chunk : chunk.left(nul);
}

} // namespace archive_rules
