#include "rules/firmware_rules.h"

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

// A field or line as a technician can read it in a report: control bytes spelt out.
QString readable(const QByteArray& bytes)
{
    QString text;
    for (const char byte : bytes) {
        const auto code = static_cast<unsigned char>(byte);
        if (code == line_feed)
            text += QLatin1String("\\n");
        else if (code < 0x20 || code >= 0x7F)
            text += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else
            text += QLatin1Char(byte);
    }
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QByteArray without_cr(const QByteArray& line)
{
    return line.endsWith(carriage_return) ? line.left(line.size() - 1) : line;
}

bool is_board_identifier(const QByteArray& field)
{
    if (field.size() != 1)
        return false;
    for (const BoardWord& entry : board_words) {
        if (entry.identifier == field.at(0))
            return true;
    }
    return false;
}

QByteArray hex_field(qint64 value, bool padded)
{
    QByteArray field = QByteArray::number(value, 16).toUpper();
    if (padded)
        field.prepend('0');
    return field;
}

} // namespace

const BoardWord* board_of(const QString& name)
{
    for (const BoardWord& entry : board_words) {
        if (name.contains(QLatin1String(entry.word), Qt::CaseInsensitive))
            return &entry;
    }
    return nullptr;
}

char board_identifier(const QString& name)
{
    const BoardWord* board = board_of(name);
    return board ? board->identifier : no_board;
}

FirstByte first_byte(const QByteArray& content)
{
    if (content.isEmpty() || content.at(0) == 0)
        return FirstByte::zero;
    return content.at(0) == firmware_first_byte ? FirstByte::firmware : FirstByte::other;
}

QByteArray line_count_field(qint64 lines)
{
    return hex_field(lines, lines <= padded_line_count_max);
}

qint64 size_value(qint64 lines, qint64 body_bytes)
{
    qint64 size = body_bytes + header_allowance;
    if (lines >= wide_line_count_min)
        ++size;
    if (body_bytes >= wide_body_min)
        ++size;
    return size;
}

QByteArray size_field(qint64 lines, qint64 body_bytes)
{
    return hex_field(size_value(lines, body_bytes), body_bytes <= padded_body_max);
}

QByteArray header(char board, qint64 lines, qint64 body_bytes)
{
    QByteArray text;
    text.append(header_mark).append(carriage_return);
    text.append(board).append(carriage_return);
    text.append(line_count_field(lines)).append(carriage_return);
    text.append(size_field(lines, body_bytes)).append(carriage_return);
    return text;
}

// Dropping only the LFs, as this once did, glued an LF-only file into one line under a header that still counted
// its lines, and left a CR-only file counted as no lines; the device refused both in the field. A last line without
// an end was kept without CR, and the update side never sends a line that has none, so it never reached the device.
// Every record of such files is sound, so they are converted as their CR LF twins rather than refused.
QByteArray rewritten(const QByteArray& input, char board)
{
    QByteArray body(input.size() + 1, Qt::Uninitialized);
    char* out = body.data();
    const char* in = input.constData();
    const char* const end = in + input.size();
    qint64 lines = 0;
    while (in != end) {
        const char byte = *in++;
        if (byte != carriage_return && byte != line_feed) {
            *out++ = byte;
            continue;
        }
        *out++ = carriage_return;
        ++lines;
        if (byte == carriage_return && in != end && *in == line_feed)
            ++in;
    }
    if (out != body.data() && out[-1] != carriage_return) {
        *out++ = carriage_return;
        ++lines;
    }
    body.truncate(static_cast<int>(out - body.constData()));
    return header(board, lines, body.size()) + body;
}

Conversion convert(const QString& name, const QByteArray& raw)
{
    if (raw.size() > largest_input)
        return {Refusal::too_big, {}};
    const FirstByte first = first_byte(raw);
    if (first != FirstByte::firmware)
        return {first == FirstByte::zero ? Refusal::first_byte_zero : Refusal::not_firmware, {}};
    const char board = board_identifier(name);
    if (board == no_board)
        return {Refusal::no_board, {}};
    if (raw.contains('\0'))
        return {Refusal::nul_byte, {}};
    return {Refusal::none, rewritten(raw, board)};
}

QStringList check_received(const QList<QByteArray>& lines)
{
    QStringList problems;
    if (lines.size() < header_lines) {
        problems << QStringLiteral("header: expected %1 lines, found %2").arg(header_lines).arg(lines.size());
    } else {
        const qint64 data_lines = lines.size() - header_lines;
        qint64 data_bytes = 0;
        for (int i = header_lines; i < lines.size(); ++i)
            data_bytes += lines.at(i).size();

        const QByteArray mark = without_cr(lines.at(0));
        if (mark != QByteArray(1, header_mark))
            problems << QStringLiteral("line 1: expected \"#\", found %1").arg(readable(mark));
        const QByteArray board = without_cr(lines.at(1));
        if (!is_board_identifier(board))
            problems << QStringLiteral("line 2: expected a board identifier the converter writes, found %1")
                            .arg(readable(board));
        const QByteArray count = without_cr(lines.at(2));
        const QByteArray expected_count = line_count_field(data_lines);
        if (count != expected_count)
            problems << QStringLiteral("line 3: expected line count %1 for %2 data lines, found %3")
                            .arg(readable(expected_count))
                            .arg(data_lines)
                            .arg(readable(count));
        const QByteArray size = without_cr(lines.at(3));
        const QByteArray expected_size = size_field(data_lines, data_bytes);
        if (size != expected_size)
            problems << QStringLiteral("line 4: expected size %1 for %2 data bytes, found %3")
                            .arg(readable(expected_size))
                            .arg(data_bytes)
                            .arg(readable(size));
    }

    for (int i = 0; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const int number = i + 1;
        if (!line.endsWith(carriage_return))
            problems
                << QStringLiteral("line %1: expected CR at the end, found %2").arg(number).arg(readable(line.right(1)));
        const int feed = line.indexOf(line_feed);
        if (feed >= 0)
            problems << QStringLiteral("line %1: line feed at byte %2").arg(number).arg(feed + 1);
        const int nul = line.indexOf('\0');
        if (nul >= 0)
            problems << QStringLiteral("line %1: NUL at byte %2").arg(number).arg(nul + 1);
    }
    return problems;
}

} // namespace firmware_rules
