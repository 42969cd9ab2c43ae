#include "link/serial.h"

#include <QDebug>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <poll.h>
#include <sys/file.h>
#endif

Serial::Serial(QObject* parent) : QObject(parent)
{
    connect(&port, &QIODevice::readyRead, this, &Serial::readed);
    connect(&port, &QIODevice::bytesWritten, this, &Serial::written);
    connect(&port, &QSerialPort::errorOccurred, this, &Serial::error);
    connect(&port, &QSerialPort::baudRateChanged, this, [this](qint32 baud) { emit rate_changed(baud); });
    connect(&port, &QIODevice::aboutToClose, this, &Serial::closed);
}

bool Serial::open_port(const QString& port_name)
{
    port.setPortName(port_name);
    port.setBaudRate(base_baud_rate, QSerialPort::AllDirections);
    port.setDataBits(QSerialPort::Data8);
    port.setStopBits(QSerialPort::OneStop);
    port.setParity(QSerialPort::NoParity);
    port.setFlowControl(QSerialPort::NoFlowControl);
    if (!open_locked())
        return false;
    emit opened(port_name, true);
    loss_reported = false;
    return true;
}

bool Serial::reopen(const QString& name)
{
    if (!name.isEmpty())
        port.setPortName(name);
    // Reopening is retried every few milliseconds while a unit restarts; only the opening counts.
    if (!open_locked())
        return false;
    loss_reported = false;
    emit opened(port.portName(), true);
    return true;
}

bool Serial::open_locked()
{
    device_held = false;
    if (!port.open(QIODevice::ReadWrite))
        return false;
#ifdef Q_OS_UNIX
    // The serial module's lock file is named after the name it was given, and its exclusive mode does not bind
    // root, so a second name of the same device (a link, /dev/serial/by-id/...) would open it twice and two
    // programs would interleave their lines. A lock on the open device itself binds every opener, whatever its
    // name. A device that takes no lock at all is used as before.
    device_held = ::flock(static_cast<int>(port.handle()), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (device_held) {
        // Never opened as far as anyone listening is concerned.
        const QSignalBlocker quiet(port);
        port.close();
        return false;
    }
#endif
    return true;
}

void Serial::close()
{
    port.close();
}

bool Serial::set_rate(qint32 baud)
{
    return port.setBaudRate(baud, QSerialPort::AllDirections);
}

bool Serial::flush()
{
    if (port.isOpen() && port.bytesToWrite() > 0)
        port.flush();
    return port.bytesToWrite() == 0;
}

void Serial::write_data(const QByteArray& data)
{
    emit sent(data);
    if (port.write(data) == -1)
        qDebug().noquote()
            << tr("Failed to write the data to port %1, error: %2").arg(port.portName(), port.errorString());
}

void Serial::written(qlonglong bytes)
{
    Q_UNUSED(bytes)
    if (port.bytesToWrite() == 0)
        emit drained();
}

void Serial::readed()
{
    // However little arrived: a token cut across two reads is put together by the reader, and
    // bytes left waiting here would only reach it late.
    const QByteArray bytes = port.readAll();
    if (!bytes.isEmpty())
        emit received(bytes);
}

void Serial::error(int error_code)
{
    // Failures of an opening attempt are the opener's business, not a lost line.
    if (!port.isOpen())
        return;
    switch (error_code) {
    case QSerialPort::UnknownError:
    // On Linux an unplugged adapter is reported as a resource error.
    case QSerialPort::ResourceError:
        report_loss();
        break;
    case QSerialPort::ReadError:
        // A line whose other end hung up reports a read error on every pass of the event loop.
        if (line_hung_up())
            report_loss();
        break;
    default:
        break;
    }
}

bool Serial::line_hung_up() const
{
#ifdef Q_OS_UNIX
    pollfd descriptor{static_cast<int>(port.handle()), POLLIN, 0};
    if (::poll(&descriptor, 1, 0) < 0)
        return false;
    return descriptor.revents & (POLLHUP | POLLERR | POLLNVAL);
#else
    return false;
#endif
}

void Serial::report_loss()
{
    if (loss_reported)
        return;
    loss_reported = true;
    // The error arrives from inside the port's own notifier; closing the port there would pull
    // the notifier out from under itself. The report and the close wait for the event loop.
    QMetaObject::invokeMethod(this, &Serial::announce_loss, Qt::QueuedConnection);
}

void Serial::announce_loss()
{
    // Closed meanwhile (the operator disconnected): nobody is using the line any more.
    if (!port.isOpen())
        return;
    emit lost();
    // Whoever listens normally disconnects; if not, a dead descriptor must not keep waking the
    // event loop.
    if (port.isOpen())
        port.close();
}
