#ifndef EXIT_CODES_H
#define EXIT_CODES_H

#include "rules/bootloader_protocol.h"

// What vkt-update's exit status tells a script. The numbers are part of the command's interface: once published,
// one is never reused for another meaning.
namespace exit_codes
{

constexpr int updated = 0;
// 1 is left out: it is what a shell or Qt reports for a program that did not end its own way.
constexpr int usage = 2;
constexpr int package_refused = 3;
constexpr int port_not_opened = 4;
constexpr int device_failure = 5;
constexpr int timeout = 6;
constexpr int unexpected_answer = 7;
constexpr int link_lost = 8;
constexpr int stopped = 9;
// Every unit was updated, but a unit's record could not be written: a line that must trace every unit has a gap.
constexpr int record_lost = 10;

struct Meaning {
    int code;
    const char* text;
};

// For --help, in the order of the codes.
// clang-format off
inline constexpr Meaning meanings[] = {
    {updated,           "every unit was updated"},
    {usage,             "usage error: unknown option, no package, a port named twice, no terminal to ask and no "
                        "--yes, a report file that cannot be written"},
    {package_refused,   "the package was refused (its signature among the reasons) or could not be read "
                        "(--check: a file has a problem)"},
    {port_not_opened,   "a port did not open: missing, busy or no permission, or a usb:, loc: or id: form that "
                        "matches no port or several"},
    {device_failure,    "the equipment reported a failure"},
    {timeout,           "the equipment did not answer in time"},
    {unexpected_answer, "the equipment gave an answer the program does not know"},
    {link_lost,         "the link to the equipment was lost"},
    {stopped,           "stopped by the user: consent refused, Ctrl+C or SIGTERM"},
    {record_lost,       "every unit was updated, but a unit's record could not be written"},
};
// clang-format on

// A unit's status from how its update ended.
int of(bootloader_protocol::EndClass end);

} // namespace exit_codes

#endif // EXIT_CODES_H
