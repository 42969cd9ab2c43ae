// The converter's checks and rewrite of one file, with an arbitrary name and content, and what a
// careful bootloader finds in the lines it would receive.
#include "rules/firmware_rules.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const QString name = QString::fromStdString(provider.ConsumeRandomLengthString(64));
    const std::string rest = provider.ConsumeRemainingBytesAsString();
    const QByteArray input(rest.data(), static_cast<int>(rest.size()));
    const char board = firmware_rules::board_identifier(name);
    if (firmware_rules::first_byte(input) != firmware_rules::FirstByte::firmware || board == firmware_rules::no_board)
        return 0;

    const QByteArray output = firmware_rules::rewritten(input, board);
    // Cut after every CR, as the update sends a file; what follows the last CR is never sent.
    QList<QByteArray> lines;
    for (int start = 0, end; (end = output.indexOf('\r', start)) >= 0; start = end + 1)
        lines << output.mid(start, end + 1 - start);
    QByteArray body = input;
    body.replace('\n', QByteArray());
    const int header_bytes = lines.size() < 4 ? -1 : (lines[0] + lines[1] + lines[2] + lines[3]).size();

    // The rewrite never leaves a wrong mark or board, a line without its CR, or a line feed. The
    // header agrees with the lines sent exactly when the file has one CR per LF and nothing after
    // its last CR; a NUL in a line sent is the one fault of the content that is named.
    QByteArray kinds;
    for (const QString& problem : firmware_rules::check_received(lines))
        kinds += problem.startsWith(QLatin1String("line 3: expected line count")) ? 'L'
                 : problem.startsWith(QLatin1String("line 4: expected size"))     ? 'T'
                 : problem.contains(QLatin1String(": NUL at byte"))               ? '0'
                                                                                  : '?';
    const bool one_cr_per_lf = input.count('\r') == input.count('\n');
    if (header_bytes < 0 || output.mid(header_bytes) != body || kinds.contains('?') ||
        kinds.contains('L') == one_cr_per_lf || (one_cr_per_lf && kinds.contains('T') == body.endsWith('\r')) ||
        kinds.contains('0') != body.left(body.lastIndexOf('\r') + 1).contains('\0'))
        __builtin_trap();
    return 0;
}
