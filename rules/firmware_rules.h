#ifndef FIRMWARE_RULES_H
#define FIRMWARE_RULES_H

#include "rules/package_extraction.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// A raw firmware file is S-record text: every line begins with 'S' and ends in CR LF (LF alone or CR alone from some
// tools). Inside a package it takes another form: a four-line header that names the board, followed by the records,
// each ended by one CR. The update side and the bootloader read this layout byte for byte.
namespace firmware_rules
{

struct BoardWord {
    const char* word;
    char identifier;
};

// Walked in order and the first word found anywhere in a name wins, so "bootloader_main" is a LOAD board and a
// name holding both MAIN and CAN is a MAIN board. A to E are the letters the bootloader uses in its failure reports.
// clang-format off
inline constexpr BoardWord board_words[] = {
    {"GRID",    'A'},
    {"LOAD",    'B'},
    {"MAIN",    'C'},
    {"PV",      'D'},
    {"BAT",     'E'},
    {"EVENT",   'F'},
    {"CAN",     '2'},
    {"TFT",     '3'},
    {"DISPLAY", '3'},
};
// clang-format on

// The header's lines: "#", the board identifier, the line count and the size, in this order.
inline constexpr int header_lines = 4;
// Which of them, from 1, holds the count of the lines that follow.
inline constexpr int line_count_line = 3;

// The identifier of a name that holds no board word.
inline constexpr char no_board = 0;

// Every S-record line begins with 'S', so a firmware file does too; of the rest only NUL bytes are refused.
inline constexpr char firmware_first_byte = 'S';

// The board a file name (without its folder) names, matched case-insensitively; null when none.
const BoardWord* board_of(const QString& name);
// The board identifier of a file name (without its folder), matched case-insensitively; no_board when none.
char board_identifier(const QString& name);

enum class FirstByte { firmware, zero, other };

// An empty file has no first byte and is judged as one whose first byte is zero.
FirstByte first_byte(const QByteArray& content);

// L, the count of lines after the header, in upper-case hexadecimal.
QByteArray line_count_field(qint64 lines);

// T, derived from L and N (the bytes after the header, CRs included).
qint64 size_value(qint64 lines, qint64 body_bytes);

// T in upper-case hexadecimal.
QByteArray size_field(qint64 lines, qint64 body_bytes);

// "#", the identifier, the line count field and the size field, each ended by CR.
QByteArray header(char board, qint64 lines, qint64 body_bytes);

// The whole rewritten file: the header, then the input's lines with every other byte unchanged and in order. A CR LF
// pair, a lone LF and a lone CR each end a line and become one CR, and a last line without an end gets one, so a
// file gives the same bytes whatever its tool ended lines with, and a CR LF file the same as it always did.
QByteArray rewritten(const QByteArray& input, char board);

// The largest raw file converted: the header and a final CR must still leave it within a package's bound.
inline constexpr qint64 largest_input = package_extraction::max_file_bytes - 64;

// Why a file is not converted, in the order the converter checks.
enum class Refusal {
    none,
    too_big,         // over largest_input
    first_byte_zero, // empty, or a NUL first byte
    not_firmware,    // a first byte other than 'S'
    no_board,        // no board word in the name
    nul_byte,        // a NUL further on: the bootloader refuses such a line, so the package would fail in the field
};

struct Conversion {
    Refusal refusal = Refusal::none;
    QByteArray output; // the rewritten file; empty when refused
};

// The converter's whole decision on one file, its name without folder and its raw bytes, any bytes at all: either
// a refusal or bytes check_received accepts.
Conversion convert(const QString& name, const QByteArray& raw);

// What a careful bootloader finds wrong with one file's CR lines as they arrived, header included: each problem
// names the file line (from 1) with what was expected and what was found. Empty for a sound file.
QStringList check_received(const QList<QByteArray>& lines);

} // namespace firmware_rules

#endif // FIRMWARE_RULES_H
