#include "converter/firmware_rules.h"

#include <algorithm>

namespace firmware_rules
{

namespace
{

constexpr char line_feed = '\n';
constexpr char carriage_return = '\r';
constexpr char header_mark = '#';

// Counts up to two hexadecimal digits get a leading zero, so the field is never a single digit.
constexpr qint64 padded_line_count_max = 0xFF;

// Bodies up to 64 KiB get a leading zero in front of the size field.
constexpr qint64 padded_body_max = 0xFFFF;

// With a three-digit line count and a five-digit size the header is 14 bytes, and the size field is then the size
// of the whole file less one.
constexpr qint64 header_allowance = 13;

// A four-digit line count field is one byte longer than the common layout.
constexpr qint64 wide_line_count_min = 0x1000;

// A body past 1 MiB is counted one byte more. The two corrections do not follow every change of field width, but
// the receiving side checks this exact value, so it is kept rather than derived from the real header length.
constexpr qint64 wide_body_min = 0x100000;

QByteArray hex_field(qint64 value, bool padded)
{
    QByteArray field = QByteArray::number(value, 16).toUpper();
    if (padded)
        field.prepend('0');
    return field;
}

} // namespace

char board_identifier(const QString& name)
{
    for (const BoardWord& entry : board_words) {
        if (name.contains(QLatin1String(entry.word), Qt::CaseInsensitive))
            return entry.identifier;
    }
    return no_board;
}

FirstByte first_byte(const QByteArray& content)
{
    if (content.isEmpty() || content.at(0) == 0)
        return FirstByte::zero;
    return content.at(0) == firmware_first_byte ? FirstByte::firmware : FirstByte::other;
}

QByteArray line_count_field(qint64 line_feeds)
{
    return hex_field(line_feeds, line_feeds <= padded_line_count_max);
}

qint64 size_value(qint64 line_feeds, qint64 body_bytes)
{
    qint64 size = body_bytes + header_allowance;
    if (line_feeds >= wide_line_count_min)
        ++size;
    if (body_bytes >= wide_body_min)
        ++size;
    return size;
}

QByteArray size_field(qint64 line_feeds, qint64 body_bytes)
{
    return hex_field(size_value(line_feeds, body_bytes), body_bytes <= padded_body_max);
}

QByteArray header(char board, qint64 line_feeds, qint64 body_bytes)
{
    QByteArray text;
    text.append(header_mark).append(carriage_return);
    text.append(board).append(carriage_return);
    text.append(line_count_field(line_feeds)).append(carriage_return);
    text.append(size_field(line_feeds, body_bytes)).append(carriage_return);
    return text;
}

QByteArray rewritten(const QByteArray& input, char board)
{
    const qint64 line_feeds = std::count(input.cbegin(), input.cend(), line_feed);
    const qint64 body_bytes = input.size() - line_feeds;
    QByteArray content = header(board, line_feeds, body_bytes);
    const int header_size = content.size();
    content.resize(header_size + static_cast<int>(body_bytes));
    std::remove_copy(input.cbegin(), input.cend(), content.begin() + header_size, line_feed);
    return content;
}

} // namespace firmware_rules
