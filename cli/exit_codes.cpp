#include "cli/exit_codes.h"

namespace exit_codes
{

namespace
{

using bootloader_protocol::EndClass;

struct EndCode {
    EndClass end;
    int code;
};

const EndCode end_codes[] = {
    {EndClass::success, updated},     {EndClass::device_failure, device_failure},
    {EndClass::timeout, timeout},     {EndClass::unexpected_answer, unexpected_answer},
    {EndClass::link_lost, link_lost}, {EndClass::package_unusable, package_refused},
    {EndClass::stopped, stopped},
};

} // namespace

int of(EndClass end)
{
    for (const EndCode& row : end_codes) {
        if (row.end == end)
            return row.code;
    }
    return stopped;
}

} // namespace exit_codes
