#ifndef FIRMWARE_RULES_H
#define FIRMWARE_RULES_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// The form a raw firmware file takes inside a package: a four-line header that names the board, followed by the
// records with their line feeds removed. The update side and the bootloader read this layout byte for byte.
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

// The identifier of a name that holds no board word.
inline constexpr char no_board = 0;

// Every S-record line begins with 'S', so a firmware file does too; nothing else of the content is checked.
inline constexpr char firmware_first_byte = 'S';

// The board identifier of a file name (without its folder), matched case-insensitively; no_board when none.
char board_identifier(const QString& name);

enum class FirstByte { firmware, zero, other };

// An empty file has no first byte and is judged as one whose first byte is zero.
FirstByte first_byte(const QByteArray& content);

// L, the count of line feeds, in upper-case hexadecimal.
QByteArray line_count_field(qint64 line_feeds);

// T, derived from L and N (the count of all other bytes).
qint64 size_value(qint64 line_feeds, qint64 body_bytes);

// T in upper-case hexadecimal.
QByteArray size_field(qint64 line_feeds, qint64 body_bytes);

// "#", the identifier, the line count field and the size field, each ended by CR.
QByteArray header(char board, qint64 line_feeds, qint64 body_bytes);

// The whole rewritten file: header, then every input byte except the line feeds, unchanged and in order.
QByteArray rewritten(const QByteArray& input, char board);

// What a careful bootloader finds wrong with one file's CR lines as they arrived, header included: each problem
// names the file line (from 1) with what was expected and what was found. Empty for a sound file.
QStringList check_received(const QList<QByteArray>& lines);

} // namespace firmware_rules

#endif // FIRMWARE_RULES_H
