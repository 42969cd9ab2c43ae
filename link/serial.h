#ifndef SERIAL_H
#define SERIAL_H

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>

// The serial link to one unit: the one owner of its port. It hands on whatever the device sends, as
// it arrives, and tells of its own news (the line lost) through a signal of its own: it never frames,
// parses or interprets what the device sends.
class Serial : public QObject
{
    Q_OBJECT

public:
    // Every connection starts at this rate, and the update returns the line to it after a run.
    static constexpr qint32 base_baud_rate = 19200;

    explicit Serial(QObject* parent = nullptr);

    // Opens at 19200 8N1 without flow control, for this program alone; false when it did not open,
    // and refused() then tells whether the system refused it (held by another program, or no
    // permission) rather than finding no such port.
    bool open_port(const QString& port_name);
    bool refused() const { return device_held || port.error() == QSerialPort::PermissionError; }
    // Opens the port of the last open_port() again, as it was set, or the port of that name when
    // one is given (the same unit back under another name); false when it cannot.
    bool reopen(const QString& name = QString());
    void close();
    bool is_open() const { return port.isOpen(); }
    QString port_name() const { return port.portName(); }

    // Both directions; a closed port keeps the rate for its next opening. False when the open
    // port refused it.
    bool set_rate(qint32 baud);
    qint32 rate() const { return port.baudRate(); }

    void write_data(const QByteArray& data);
    // Hands what is buffered to the system without blocking; true when nothing is left waiting.
    bool flush();

signals:
    void received(const QByteArray& bytes);
    // The port failed while open: the cable was pulled or the adapter reset. Told once per loss.
    void lost();
    // The system took what was waiting to be written.
    void drained();
    // For the service log: what was handed to the port, each opening, rate and close.
    void sent(const QByteArray& bytes);
    void opened(const QString& port_name, bool ok);
    void rate_changed(qint32 baud);
    void closed();

private slots:
    void written(qlonglong bytes);
    void readed();
    void error(int error_code);

private:
    // Opens the port for this program alone: false when it did not open, or another program holds the device.
    bool open_locked();
    bool line_hung_up() const;
    void report_loss();
    void announce_loss();

    QSerialPort port;
    // A lost line keeps raising errors until it is closed; one report per loss is enough.
    bool loss_reported = false;
    // The last opening found the device held by another program, under whatever name it opened it.
    bool device_held = false;
};

#endif // SERIAL_H
