// The converter's whole decision on one file, with an arbitrary name and content: whatever it writes, a careful
// bootloader accepts line by line, and it never takes its own output for raw firmware again.
#include "rules/firmware_rules.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const QString name = QString::fromStdString(provider.ConsumeRandomLengthString(64));
    const std::string rest = provider.ConsumeRemainingBytesAsString();
    const QByteArray input(rest.data(), static_cast<int>(rest.size()));
    const firmware_rules::Conversion conversion = firmware_rules::convert(name, input);
    if (conversion.refusal != firmware_rules::Refusal::none) {
        if (!conversion.output.isEmpty())
            __builtin_trap();
        return 0;
    }
    // Cut after every CR, as the update sends a file: nothing may follow the last CR.
    const QByteArray& output = conversion.output;
    QList<QByteArray> lines;
    int start = 0;
    for (int end; (end = output.indexOf('\r', start)) >= 0; start = end + 1)
        lines << output.mid(start, end + 1 - start);
    if (start != output.size() || output.contains('\n') || !firmware_rules::check_received(lines).isEmpty() ||
        firmware_rules::convert(name, output).refusal == firmware_rules::Refusal::none)
        __builtin_trap();
    return 0;
}
