#ifndef BOOTLOADER_PROTOCOL_H
#define BOOTLOADER_PROTOCOL_H

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// The bootloader's "#B_" token protocol: what the tool sends, what it recognises and the texts
// the operator reads for each failure.
namespace bootloader_protocol
{

// The protocol's fixed waits, in one place so that a test can shorten them; the program itself
// only ever runs with these values.
struct Waits {
    // The bootloader has this long after announcing itself to ask for the data.
    int baud_guard_ms = 2000;
    // The bootloader must answer within this time after each write while the time-out is armed.
    int reply_ms = 2000;
    // Lets the bootloader drop the line before the port is opened again after a reset.
    int reset_settle_ms = 50;
    int reopen_retry_ms = 10;
    // A device that has not come back by then has vanished; the window must not wait for ever.
    int link_retry_bound_ms = 2000;
    // The event board restarts the equipment after its confirmation; the port stays closed meanwhile.
    int event_port_pause_ms = 5000;
    // Leaves the success text on screen and the bootloader time to settle before the next file.
    int confirm_pause_ms = 1000;
    // Once the first answer has come, the reply time-out no longer fires, since the equipment may
    // reprogram or restart for a while. Programming a board of a few megabytes takes a minute or
    // two; nothing the equipment does keeps it silent for five.
    int silence_bound_ms = 5 * 60 * 1000;
    // The equipment answers within moments except while it reprograms a board; past a few seconds
    // of silence the operator is told how long it has been.
    int silence_notice_ms = 5000;
};

// Every exchange with the bootloader starts at this rate; a run goes back to it at its end.
constexpr qint32 base_baud_rate = 19200;
// A UART link moves from the rate every connection starts at to this one for the transfer.
constexpr qint32 uart_data_baud_rate = 38400;
// Pause after each sent line, so the bootloader can store it before the next one arrives.
constexpr int usb_send_delay_ms = 3;
constexpr int uart_send_delay_ms = 25;

// Sent by the tool.
extern const char* const start_token; // start of every firmware file
extern const char* const end_token;   // after the last file of a package

// Received from the device.
extern const char* const usb_announcement;
extern const char* const uart_announcement;
extern const char* const data_request;
extern const char* const progress_report;
extern const char* const reset_request;
extern const char* const reprogramming_report;
extern const char* const file_confirmed;
// The failure the equipment reports for a file it finds unsound.
extern const char* const invalid_file;

// Endings that no token of the device brings: it announced itself but never asked for the data; it
// gave no answer within the reply time-out after "#B_STR", or fell silent for good in the middle
// of an update (shown as it is); the line was lost.
extern const char* const incompatible_status;
extern const char* const reply_timeout_text;
extern const char* const line_lost_status;

// Status texts of a normal run.
extern const char* const started_status;
extern const char* const sending_status;
extern const char* const reprogramming_status;
extern const char* const finishing_status;
extern const char* const success_status;

// Shown when the equipment vanishes while the port is being re-rated or reopened.
extern const char* const link_lost_status;

// Every token is "#B_" and three bytes: a word of three letters, or one of two and a data byte (a progress value, a
// board's letter).
extern const char* const token_mark;
constexpr int token_bytes = 6;

// A token, or other bytes of the device, as text: decoded as UTF-8, a NUL kept as any other character.
QString message_text(const QByteArray& bytes);

// Progress and board letters are read at position 5 of the whole message (the byte after a
// five-character token); a message of five characters or fewer gives 0.
int progress_value(const QString& message);

// Reports from here on, and "#B_ENV", mean the board is being reprogrammed; up to the other, the
// file is being received.
constexpr int reprogramming_progress = 95;
constexpr int last_sending_progress = 90;

// What a "#B_PR" report shows: the status text and progress, or nothing for 91 to 94.
struct ProgressShown {
    bool shown;
    QString text;
    int progress;
};
ProgressShown progress_status(int value);

// Shown when a run ends on a text the equipment is not known to send.
extern const char* const unexpected_status;

// Whether a delivery holds a failure token anywhere: the device said the update failed, and that
// outweighs whatever else came with it.
bool holds_failure(const QByteArray& bytes);

// The text a run ends with, tested row by row in the table's order; the text for an unexpected
// answer when no row names the message.
QString failure_text(const QString& message);

// How a run ended, in the terms a script or a record tells endings apart by. `interrupted` is never a live run's: it
// closes the history row of a run whose program ended under it (killed, crashed, power lost).
enum class EndClass {
    success,
    device_failure,
    timeout,
    unexpected_answer,
    link_lost,
    package_unusable,
    stopped,
    interrupted
};

// The class of the ending a message brings, from the same table as its text.
EndClass end_class(const QString& message);

// A stable lower-case word for each class ("device_failure"): reports and scripts rely on it.
const char* end_class_name(EndClass end);
// The class a stable word names, as reports and the history store it; none for any other word.
std::optional<EndClass> end_class_named(const QString& word);

} // namespace bootloader_protocol

#endif // BOOTLOADER_PROTOCOL_H
