#ifndef BOOTLOADER_PROTOCOL_H
#define BOOTLOADER_PROTOCOL_H

#include <QByteArray>
#include <QString>

// The bootloader's "#B_" token protocol: what the tool sends, what it recognises and the texts
// the operator reads for each failure.
namespace bootloader_protocol
{

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

// Raised by the baud timer when the device announced itself but never asked for the data.
extern const char* const baud_timeout_text;

// Status texts of a normal run.
extern const char* const started_status;
extern const char* const sending_status;
extern const char* const reprogramming_status;
extern const char* const finishing_status;
extern const char* const success_status;

// Shown when the equipment vanishes while the port is being re-rated or reopened.
extern const char* const link_lost_status;
extern const char* const interrupted_status;

// Bytes from the device become text up to the first NUL, decoded as UTF-8.
QString message_text(const QByteArray& bytes);

// Progress and board letters are read at position 5 of the whole message (the byte after a
// five-character token); a message of five characters or fewer gives 0.
int progress_value(const QString& message);

// Reports from here on, and "#B_ENV", mean the board is being reprogrammed.
constexpr int reprogramming_progress = 95;

// What a "#B_PR" report shows: the status text and progress, or nothing for 91 to 94.
struct ProgressShown {
    bool shown;
    QString text;
    int progress;
};
ProgressShown progress_status(int value);

// The failure text for a message that ended a run, tested row by row in the table's order;
// a null string when the message matches a row that shows nothing, or no row at all.
QString failure_text(const QString& message);

} // namespace bootloader_protocol

#endif // BOOTLOADER_PROTOCOL_H
