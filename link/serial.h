#ifndef SERIAL_H
#define SERIAL_H

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSerialPort>
#include <QString>
#include <QTimer>

// Transport between the update procedure and the equipment. Everything it has to say, received
// bytes and its own conditions alike, travels upward through buffer(); the receiver tells them
// apart by content.
class Serial : public QObject
{
    Q_OBJECT

public:
    // Every connection starts at this rate, and the window returns the line to it after a run.
    static constexpr qint32 base_baud_rate = 19200;
    // Every bootloader token is at least six bytes long, so shorter arrivals wait for more.
    static constexpr qint64 min_chunk_bytes = 6;

    explicit Serial(QSerialPort* port, QObject* parent = nullptr);

    void open_port(const QString& port_name);
    void write_data(const QByteArray& data);
    void set_reply_timeout_enabled(bool enabled);
    void set_reply_timeout_ms(int ms) { reply_timeout_ms = ms; }
    // Disarms the reply time-out and stops a running reply timer: a run that has ended must not
    // be told about a reply it no longer waits for.
    void cancel_reply_timeout();
    // While held, nothing received and no condition is handed on; what arrives stays with the
    // port, and once released it is handed on in the order it came. Nests.
    void hold(bool on);

signals:
    // Received bytes, or one of the texts of link_conditions.
    void buffer(QByteArray buffer);
    // For the service log: what was handed to the port, and each attempt to open it.
    void sent(const QByteArray& bytes);
    void opened(const QString& port_name, bool ok);

private slots:
    void written(qlonglong bytes);
    void readed();
    void timeout();
    void error(int error_code);

private:
    bool line_hung_up() const;
    void report_loss();
    void announce_loss();

    // Borrowed; a report queued for the event loop may run after the window and its port are gone.
    QPointer<QSerialPort> port;
    QByteArray received;
    QTimer reply_timer;
    bool reply_timeout_enabled = false;
    int reply_timeout_ms = 2000;
    int held = 0;
    bool timeout_deferred = false;
    bool loss_deferred = false;
    // A lost line keeps raising errors until it is closed; one report per loss is enough.
    bool loss_reported = false;
};

#endif // SERIAL_H
