// Random sequences of everything that can happen to an update, straight into the session, with a shell that answers
// its commands as the real one may: the protocol's promises hold whatever the equipment, link, clocks and operator do.
#include "session/bootloader_session.h"

#include <fuzzer/FuzzedDataProvider.h>

using namespace session;

namespace
{

const char* const tokens[] = {"#B_USB", "#B_UAR", "#B_MAX", "#B_ENV", "#B_RST", "#B_BOK",
                              "#B_CRC", "#B_FRA", "#B_FRZ", "#B_XYZ", "#B_STR"};

void check(bool promise)
{
    if (!promise)
        __builtin_trap();
}

struct Shell {
    FuzzedDataProvider& in;
    BootloaderSession session;
    std::vector<File> files;
    qint64 now = 0;
    bool consented = false;  // between a run's begin and its end
    int lines = -1;          // of the file loaded; -1 before any
    bool taken_late = false; // a line the system has not taken yet

    void feed(const Event& event)
    {
        const int changes = session.phase_changes();
        const auto commands = session.handle(event, now);
        // A UART rate refused is asked for again until the bound, still in the phase that first asked for it.
        const bool transition = session.phase_changes() != changes || session.phase() == Phase::rating;
        for (const Command& command : commands) {
            switch (command.kind) {
            case Command::Kind::begin_run:
                check(!consented);
                consented = true;
                break;
            case Command::Kind::end:
                // One end a run, with its class and the text the operator reads.
                check(consented && !command.text.isEmpty() && !command.outcome.isEmpty() &&
                      command.end <= EndClass::stopped);
                consented = false;
                break;
            case Command::Kind::send:
                check(consented);
                break;
            case Command::Kind::send_line:
                // No line before consent or after the end, and only lines the file has.
                check(consented && command.value >= 0 && command.value < lines);
                // The system takes a line at once, or later, when the session may have moved on.
                taken_late = in.ConsumeBool();
                if (!taken_late)
                    feed({Input::line_taken, {}, {}, {}});
                break;
            case Command::Kind::set_rate:
                // A rate changes only where the run moves from one phase to another.
                check(transition);
                if (command.answered)
                    feed({in.ConsumeBool() ? Input::rate_set : Input::rate_refused, {}, {}, {}});
                break;
            case Command::Kind::reopen_port:
                feed({in.ConsumeBool() ? Input::port_back : Input::port_not_back, {}, {}, {}});
                break;
            case Command::Kind::load_file: {
                check(command.value >= 0 && command.value < int(files.size()));
                const bool readable = in.ConsumeBool();
                lines = readable ? files.at(size_t(command.value)).lines : lines;
                feed({readable ? Input::file_loaded : Input::file_unreadable, {}, {}, {}});
                break;
            }
            default:
                break;
            }
        }
    }

    Event next()
    {
        now += in.ConsumeIntegralInRange(0, 3000);
        auto input = Input(in.ConsumeIntegralInRange(0, input_count - 1));
        // What commands give comes only in answer to them; a line taken late comes when the system takes it.
        if (input >= Input::line_taken && input <= Input::file_unreadable) {
            input = taken_late ? Input::line_taken : Input::pause_over;
            taken_late = false;
        }
        switch (input) {
        case Input::package_opened:
            // As the operator opens one: whatever stood for the package before goes first.
            feed({Input::new_package, {}, {}, {}});
            files.assign(size_t(in.ConsumeIntegralInRange(1, 3)), File());
            for (File& file : files)
                file = {in.ConsumeIntegralInRange(0, 4), in.ConsumeBool()};
            return {input, {}, files, {}};
        case Input::progress:
            return Event::answer(QByteArray("#B_PR") + char(in.ConsumeIntegral<quint8>()), false);
        case Input::unknown: {
            const std::string noise = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 8));
            return Event::answer(QByteArray(noise.data(), int(noise.size())), true);
        }
        case Input::announcement:
        case Input::data_request:
        case Input::reprogramming:
        case Input::reset:
        case Input::confirmation:
        case Input::failure:
            return Event::answer(
                QByteArray::fromRawData(tokens[in.ConsumeIntegralInRange<size_t>(0, std::size(tokens) - 1)], 6), false);
        default:
            return {input, {}, {}, {}};
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    Shell shell{in, BootloaderSession(), {}};
    while (in.remaining_bytes() > 0)
        shell.feed(shell.next());
    // The operator disconnects: whatever stood has ended, once.
    shell.feed({Input::disconnect, {}, {}, {}});
    check(!shell.session.in_run() && !shell.consented);
    return 0;
}
