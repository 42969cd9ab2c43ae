#include "rules/archive.h"

#include "rules/package_extraction.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace
{
constexpr char carriage_return = '\r';
constexpr int read_block_bytes = 64 * 1024;
} // namespace

QByteArray Archive::chunk(int i) const
{
    const int start = i == 0 ? 0 : line_ends[static_cast<size_t>(i - 1)];
    const int end = i < line_count ? line_ends[static_cast<size_t>(i)] : bytes.size();
    return bytes.mid(start, end - start);
}

namespace archive_rules
{

bool load(Archive& archive, QIODevice& device)
{
    clear(archive);
    QByteArray bytes;
    QByteArray block(read_block_bytes, Qt::Uninitialized);
    for (qint64 read; (read = device.read(block.data(), block.size())) > 0;) {
        if (bytes.size() + read > package_extraction::max_file_bytes)
            return false;
        bytes.append(block.constData(), static_cast<int>(read));
    }

    archive.line_ends.resize(static_cast<size_t>(bytes.count(carriage_return)));
    int* line_end = archive.line_ends.data();
    const char* const data = bytes.constData();
    for (int i = 0; i < bytes.size(); ++i) {
        if (data[i] == carriage_return)
            *line_end++ = i + 1;
    }
    archive.bytes = bytes;
    archive.line_count = static_cast<int>(archive.line_ends.size());
    archive.loaded = true;
    return true;
}

bool load_file(Archive& archive, const QString& path)
{
    clear(archive);
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile())
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && load(archive, file);
}

int line_count_of(const QString& path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return 0;
    QByteArray block(read_block_bytes, Qt::Uninitialized);
    qint64 lines = 0;
    for (qint64 read; (read = file.read(block.data(), block.size())) > 0;)
        lines += std::count(block.constData(), block.constData() + read, carriage_return);
    return static_cast<int>(std::min<qint64>(lines, package_extraction::max_file_bytes));
}

void clear(Archive& archive)
{
    archive = Archive();
}

QByteArray wire_bytes(const QByteArray& chunk)
{
    const int nul = chunk.indexOf('\0');
    return nul < 0 ? chunk : chunk.left(nul);
}

} // namespace archive_rules
