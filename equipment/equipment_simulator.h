#ifndef EQUIPMENT_SIMULATOR_H
#define EQUIPMENT_SIMULATOR_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include "link/line_pacer.h"

class QSerialPort;
class QSocketNotifier;

// The equipment's bootloader, played on the caller's event loop: on a pseudo-terminal for the tests and for
// training without hardware, or on a real serial port. It records everything the program writes and, unless
// told otherwise, answers like a careful bootloader that checks each file it receives.
class EquipmentSimulator : public QObject
{
    Q_OBJECT
public:
    enum class Link { usb, uart };

    // One thing the program wrote, as the equipment parsed it.
    struct Received {
        enum class Kind {
            token, // "#B_STR" or "#B_END": six bytes, no CR
            line,  // bytes up to and including a CR
            stray, // CR-less bytes cut short by a token
        };
        Kind kind = Kind::stray;
        QByteArray bytes;
        int file = -1; // 0-based, counted by each "#B_STR"; -1 before any
        int line = 0;  // 1-based CR line within its file, header included; 0 for tokens and strays
        qint64 at_ns = 0;
        qint32 baud = 0; // the rate the program had set when the bytes were read; 0 unknown
    };

    // What the equipment concluded about one file.
    struct FileReport {
        int file = -1;
        char board = 0;
        int lines = 0;
        qint64 bytes = 0;
        QStringList problems;
    };

    // One write to the program, stamped when it was handed to the line.
    struct Sent {
        QByteArray bytes;
        qint64 at_ns = 0;
    };

    struct Options {
        Link link = Link::usb;
        bool automatic = true;    // false: record only, the caller scripts the replies
        int data_request_ms = 20; // from the announcement to "#B_MAX"
        int quiet_ms = 500;       // a file whose lines stop coming this long is checked with what arrived
        int reset_ms = 200;       // after "#B_RST", the equipment is back this much later
        // Injected faults, for training and support; -1 is off. Files 0-based, lines 1-based (header included).
        int fail_file = -1, fail_after_line = -1;
        QByteArray fail_token = "#B_CRC";
        int reset_file = -1;  // "#B_RST" after this file's data, before it is confirmed
        int silent_file = -1; // from this file's "#B_STR" on, nothing is answered
        int hang_up_file = -1, hang_up_after_line = -1;
        // A USB serial adapter hands what the equipment says over in packets of its own size, cut wherever they
        // fall; 0 hands each answer over whole.
        int packet_bytes = 0;
    };

    // Two constructors rather than a default argument: a nested struct's member initializers cannot be used
    // before the enclosing class is complete.
    EquipmentSimulator();
    explicit EquipmentSimulator(const Options& options, QObject* parent = nullptr);
    ~EquipmentSimulator() override;

    // A pseudo-terminal pair; false where there is none or on failure. The slave stays open here too, so
    // the line and its settings survive the program closing and reopening it.
    bool open_pty();
    QString port_path() const;
    // A real serial port at 19200 8N1, the rate at which the program connects; on failure, the port's reason in
    // `why` when given.
    bool open_port(const QString& name, QString* why = nullptr);

    qint32 line_baud() const;

    // Each write reaches the program as a delivery of its own, as a bootloader's separate answers do; answers
    // that must arrive together are written as one.
    void send(const QByteArray& bytes);
    void hang_up();
    bool is_hung_up() const;

    const QList<Received>& received() const;
    QList<QByteArray> tokens() const;
    QList<QByteArray> lines_of(int file) const;
    const QList<FileReport>& reports() const;
    const QList<Sent>& sent() const;
    // The clock of every at_ns.
    qint64 elapsed_ns() const;

signals:
    // After it is recorded and the automatic reply is queued; scripts may send() from here.
    void got(const EquipmentSimulator::Received& item);
    void file_checked(const EquipmentSimulator::FileReport& report);
    // An injected fault took effect: which, and where.
    void fault_injected(const QString& what);
    void finished();

private:
    struct Outgoing {
        enum class Kind { bytes, pause, rate } kind;
        QByteArray bytes;
        int ms = 0;
    };
    // Per file, as the automatic bootloader follows it.
    enum class Phase { idle, announced, receiving, done };

    void read_line_side();
    void parse(const QByteArray& bytes, qint64 at_ns, qint32 baud);
    void record(const Received& item);
    void answer(const Received& item);
    void answer_line(const Received& item);
    void check_file(bool reply);
    void inject(const QString& what);
    void queue(Outgoing::Kind kind, const QByteArray& bytes = QByteArray(), int ms = 0);
    void pump();
    qint64 write_line(const QByteArray& bytes);
    bool line_taken() const;
    void set_port_rate(qint32 rate);

    Options options;
    QElapsedTimer clock;

    int master_fd = -1;
    int slave_fd = -1;
    QString path;
    QSocketNotifier* notifier = nullptr;
    QSerialPort* port = nullptr;

    QList<Received> records;
    QList<FileReport> file_reports;
    QList<Sent> writes;
    QByteArray incoming;
    int current_file = -1;
    int line_in_file = 0;
    qint64 file_bytes = 0;

    Phase phase = Phase::idle;
    bool silent = false;
    bool hung_up = false;
    int expected_data_lines = -1;
    int last_tenth = 0;
    QTimer quiet_timer;

    QList<Outgoing> outgoing;
    // Answers on their way to the line: one answer, or in packets whatever the queue holds back to back.
    QByteArray stream;
    qint64 stream_since_ns = 0;
    LinePacer pump_timer;
    bool awaiting_uptake = false;
    qint64 uptake_waited_ns = 0;
    qint64 last_check_ns = 0;
    qint64 pause_until_ns = 0;
    qint64 written_at_ns = 0;
    qint64 last_write_bytes = 0;
    qint32 equipment_baud = 0; // the rate the equipment speaks at, from the line's opening on
    qint64 mismatch_since_ns = -1;
};

Q_DECLARE_METATYPE(EquipmentSimulator::Received)
Q_DECLARE_METATYPE(EquipmentSimulator::FileReport)

#endif // EQUIPMENT_SIMULATOR_H
