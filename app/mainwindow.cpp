#include "app/mainwindow.h"

#include "converter/zipwindow.h"
#include "link/link_conditions.h"
#include "link/port_access.h"
#include "link/serial.h"
#include "rules/package_rules.h"
#include "servicelog/service_log.h"
#include "ui_mainwindow.h"
#include "widgets/popup.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QShortcut>

#include <algorithm>
#include <functional>

namespace
{

namespace protocol = bootloader_protocol;

const char* const connect_label = "CONECTAR";
const char* const disconnect_label = "DESCONECTAR";
const char* const connected_status = "CONECTADO";
const char* const disconnected_status = "DESCONECTADO";
const char* const connected_style = "background:rgb(15, 255, 15);font: 75 9pt Arial Black; color:rgb(0, 0, 0);";
const char* const disconnected_style =
    "background:rgb(255, 15, 15);font: 75 9pt Arial Black; color:rgb(255, 255, 255); border: 1px solid black;";
const char* const invalid_package_text = "Erro! Arquivo Inválido";
const char* const valid_package_text = "Arquivo Validado";
const char* const unreadable_firmware_text = "Erro! Não foi possível ler o firmware do pacote";
// Opening another package under a running transmission would swap the file being sent.
const char* const transfer_running_text = "Erro! Envio em andamento, aguarde o fim do arquivo";
const char* const converter_keys = "Ctrl+V, Ctrl+K, Ctrl+T";

// Gives the port a short chance to hand each line on before the pause starts.
constexpr int write_wait_ms = 5;
// The last part of each pause between lines is timed by the clock rather than by a timer.
constexpr int pause_margin_ms = 1;
constexpr int progress_started = 1;
constexpr int progress_finishing = 98;
constexpr int progress_done = 100;

// Swallows the operator's input while a protocol wait runs: a click then does nothing, rather
// than taking effect later, when the run it was meant for may be over.
class InputHold : public QObject
{
public:
    InputHold() { QCoreApplication::instance()->installEventFilter(this); }

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Shortcut:
        case QEvent::ShortcutOverride:
        case QEvent::Wheel:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
            return true;
        default:
            return false;
        }
    }
};

struct NestingCount {
    explicit NestingCount(int& count) : count(count) { ++count; }
    ~NestingCount() { --count; }
    NestingCount(const NestingCount&) = delete;
    NestingCount& operator=(const NestingCount&) = delete;
    int& count;
};

// The log follows the port's rate changes and closes, and everything the link says.
void attach_service_log(ServiceLog& log, QSerialPort& port, Serial& serial)
{
    QObject::connect(&port, &QSerialPort::baudRateChanged, &port,
                     [&log](qint32 rate, QSerialPort::Directions) { log.note_rate(rate); });
    QObject::connect(&port, &QIODevice::aboutToClose, &port, [&log] { log.note_close(); });
    QObject::connect(&serial, &Serial::sent, &serial, [&log](const QByteArray& bytes) { log.note_sent(bytes); });
    QObject::connect(&serial, &Serial::opened, &serial,
                     [&log](const QString& name, bool ok) { log.note_open(name, ok); });
    QObject::connect(&serial, &Serial::buffer, &serial, [&log](const QByteArray& bytes) {
        if (bytes == link_conditions::timeout)
            log.note_timeout();
        else if (bytes == link_conditions::interrupted)
            log.note_lost();
        else if (bytes == link_conditions::connected || bytes == link_conditions::busy)
            log.note_link(bytes);
        else
            log.note_received(bytes);
    });
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow)
{
    ui->setupUi(this);
    ui->statusConnect->setAlignment(Qt::AlignCenter);
    // A port the system does not list (the simulated equipment's pseudo-terminal, an adapter
    // behind an unusual driver) can be typed in by name.
    ui->boxPort->setEditable(true);

    popup = new PopUp();
    zip_window = new zipwindow();
    serial = new Serial(&port);
    // Before the window's own connection to the link, so that a token is logged before its reaction.
    attach_service_log(ServiceLog::shared(), port, *serial);

    fill_port_list();

    converter_shortcut = new QShortcut(QKeySequence(QString::fromLatin1(converter_keys)), this);
    converter_shortcut->setContext(Qt::WindowShortcut);

    connect(popup, &PopUp::init, this, [this] {
        UpdateStart start{QStringLiteral(PROJECT_VERSION),
                          port.portName(),
                          package_path,
                          package_rules::sha256_hex(package_path),
                          {}};
        for (const QString& file : extraction.files)
            start.files.append({package_rules::file_name(file), QFileInfo(file).size()});
        ServiceLog::shared().begin_update(start);
    });
    connect(popup, &PopUp::init, this, &MainWindow::init_button);
    connect(serial, &Serial::buffer, this, [this](const QByteArray& bytes) {
        if (transmissions_running == 0)
            arm_silence_bound();
        serial_state(protocol::message_text(bytes));
    });
    connect(this, &MainWindow::send_board, popup, &PopUp::show_board);
    connect(&baud_timer, &QTimer::timeout, this, &MainWindow::timeout);
    silence_timer.setSingleShot(true);
    connect(&silence_timer, &QTimer::timeout, this, [this] {
        if (popup->is_started())
            end_run(QString::fromLatin1(link_conditions::timeout));
    });
    connect(converter_shortcut, SIGNAL(activated()), this, SLOT(show_secret_window()));

    ui->archiveGroupBox->setEnabled(false);
    ui->boxStatus->setEnabled(false);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::set_waits(const bootloader_protocol::Waits& shorter)
{
    waits = shorter;
    serial->set_reply_timeout_ms(waits.reply_ms);
}

bool MainWindow::is_connected() const
{
    return ui->connectButton->text() != QLatin1String(connect_label);
}

void MainWindow::fill_port_list()
{
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        ui->boxPort->addItem(info.portName());
}

void MainWindow::on_scan_push_button_clicked()
{
    ui->boxPort->clear();
    fill_port_list();
}

void MainWindow::on_connectButton_clicked()
{
    if (!is_connected()) {
        serial->open_port(ui->boxPort->currentText());
        ui->lineStatusArchive->clear();
        reset_popup();
        return;
    }

    ui->statusConnect->setText(QString::fromUtf8(disconnected_status));
    ui->statusConnect->setStyleSheet(QString::fromUtf8(disconnected_style));
    ui->connectButton->setText(QString::fromUtf8(connect_label));
    set_progress_and_status(QString(), 0);
    ui->archiveGroupBox->setEnabled(false);
    ui->boxStatus->setEnabled(false);
    ui->boxSerial->setEnabled(true);
    ui->statusBootloader->clear();
    ui->fileLineEdit->clear();
    ui->lineStatusArchive->clear();
    stop_link_timers();
    port.close();
    reset_popup();
}

void MainWindow::show_connected()
{
    ui->statusConnect->setText(QString::fromUtf8(connected_status));
    ui->statusConnect->setStyleSheet(QString::fromUtf8(connected_style));
    ui->connectButton->setText(QString::fromUtf8(disconnect_label));
    ui->archiveGroupBox->setEnabled(true);
    ui->boxSerial->setEnabled(false);
    ui->info->clear();
}

void MainWindow::reset_popup()
{
    popup->set_started(false);
    popup->set_init_enabled(true);
    popup->close();
}

void MainWindow::init_button(bool init)
{
    if (!init)
        return;
    ui->boxStatus->setEnabled(true);
    serial->set_reply_timeout_enabled(true);
    serial->write_data(QByteArray(protocol::start_token));
    arm_silence_bound();
}

void MainWindow::set_progress_and_status(QString text, int progress)
{
    ui->statusBootloader->setText(text + status_suffix);
    ui->progressBar->setValue(progress);
    if (progress == 0 || progress == progress_done) {
        port.setBaudRate(Serial::base_baud_rate, QSerialPort::AllDirections);
        if (!popup->is_started())
            popup->set_init_enabled(true);
    }
}

void MainWindow::closeEvent(QCloseEvent* close)
{
    // Closing the window abandons the update: a transmission paused below us sends nothing more,
    // and the unpacked firmware goes with it, as at every other ending.
    ++transfer_epoch;
    tear_down();
    zip_window->close();
    QMainWindow::closeEvent(close);
}

void MainWindow::show_secret_window()
{
    zip_window->clear_fields();
    zip_window->show();
}

void MainWindow::on_Search_archive_clicked()
{
    if (transmissions_running > 0) {
        ui->lineStatusArchive->setText(QString::fromUtf8(transfer_running_text));
        return;
    }

    QString selected_filter = tr("VKT (*.vkt)");
    package_path =
        QFileDialog::getSaveFileName(this, QString(), QString(), tr("All files (*.*);;VKT (*.vkt)"), &selected_filter);
    ui->fileLineEdit->setText(package_path);
    if (!package_rules::is_package_name(package_path)) {
        ui->lineStatusArchive->setText(QString::fromUtf8(invalid_package_text));
        return;
    }
    ui->lineStatusArchive->setText(QString::fromUtf8(valid_package_text));
    // The operator consented to the package being sent, never to this one.
    if (popup->is_started())
        end_started_run();

    // Files a previous package left unsent are our own copies; the package itself still holds them.
    package_extraction::remove(extraction);
    extraction = package_extraction::extract(package_path);
    file_list = extraction.files;
    if (!extraction.refusal.isNull()) {
        // Nothing was unpacked: say why, rather than offer the operator an update of nothing.
        const QString refusal = extraction.refusal;
        abandon_package();
        ui->lineStatusArchive->setText(refusal);
        return;
    }
    reorder_files();
    files_loaded = 0;
    files_total = file_list.size();
    status_suffix = package_rules::counter_text(files_loaded, files_total);
    emit send_board(package_path);
    read_archive();
    // A first file that could not be read has already ended the run.
    if (archive.holds_lines())
        popup->show();
}

void MainWindow::end_started_run()
{
    tear_down();
    status_suffix.clear();
    set_progress_and_status(QString(), 0);
}

void MainWindow::abandon_package()
{
    tear_down();
    files_loaded = files_total = 0;
    status_suffix.clear();
}

void MainWindow::reorder_files()
{
    package_rules::move_event_file_last(file_list);
}

void MainWindow::read_archive()
{
    if (file_list.isEmpty()) {
        stop_link_timers();
        reset_popup();
        serial->write_data(QByteArray(protocol::end_token));
        ServiceLog::shared().end_update(QStringLiteral("package complete"));
        package_extraction::remove(extraction);
        return;
    }

    const QString head = file_list.first();
    current_file_name = package_rules::file_name(head);
    ++transfer_epoch;
    // Waiting on a file that cannot be read would stall the run for good.
    if (!archive_rules::load_file(archive, head)) {
        fail_run(QString::fromUtf8(unreadable_firmware_text), false);
        return;
    }
    QFile::remove(head);
    file_list.removeFirst();
    ++files_loaded;
    status_suffix = package_rules::counter_text(files_loaded, files_total);
    if (popup->is_started())
        init_button(true);
}

void MainWindow::clear_archive(Archive* archive)
{
    if (archive == &this->archive)
        ++transfer_epoch;
    archive_rules::clear(*archive);
}

void MainWindow::set_send_delay()
{
    send_delay = usb_mode ? protocol::usb_send_delay_ms : protocol::uart_send_delay_ms;
}

void MainWindow::send_archive()
{
    QEventLoop pause;
    // The device need not talk while it is being fed; the silence bound starts again afterwards.
    silence_timer.stop();
    // A second request for the data restarts the file from its first line; the older
    // transmission, paused further down the stack, stops before its next write.
    const quint64 epoch = ++transfer_epoch;
    NestingCount running(transmissions_running);

    for (int i = 0; epoch == transfer_epoch && i < archive.line_count;) {
        serial->write_data(archive_rules::wire_bytes(archive.chunk(i)));
        // The wait may deliver received data, and with it the dispatcher: nothing read before it
        // is trusted after it.
        port.waitForBytesWritten(write_wait_ms);
        ++i;
        pause_between_lines(pause);
        // Stopped during the pause (a failure, a disconnect): nothing more goes out. A file sent to
        // its last line is released below all the same, so a stray request cannot send it again.
        if (!popup->is_started() && i < archive.line_count)
            return;
    }
    if (epoch == transfer_epoch && archive.holds_lines())
        clear_archive(&archive);
    if (transmissions_running == 1)
        arm_silence_bound();
}

void MainWindow::pause_between_lines(QEventLoop& pause)
{
    // Qt's timers fire a little late (about 0.1 ms here), which on a 3 ms pause alone slows a USB
    // transfer by 4 %. The loop sleeps until shortly before the end of the pause and then keeps
    // handling events until the clock says the whole pause has passed: never shorter, barely longer.
    QElapsedTimer clock;
    clock.start();
    const qint64 pause_ns = static_cast<qint64>(send_delay) * 1000 * 1000;
    QTimer::singleShot(std::max(0, send_delay - pause_margin_ms), Qt::PreciseTimer, &pause, &QEventLoop::quit);
    pause.exec();
    // At least one pass even when the timer came late, so that an answer which arrived during the
    // pause is handled before the next line goes out.
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    } while (clock.nsecsElapsed() < pause_ns);
}

bool MainWindow::protocol_wait(int ms)
{
    // The window keeps painting and the window system's own events go on, but no device message
    // and no operator input is handled until the wait is over. The link holds what arrives
    // meanwhile and hands it on afterwards, in order. That does not depend on how the port's
    // notifications reach the event loop (sockets here, Windows event objects there), so the
    // wait means the same on every platform.
    ServiceLog::shared().note_wait(ms);
    const quint64 run = run_generation;
    InputHold input_hold;
    serial->hold(true);
    ++waits_running;
    silence_timer.stop();
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
    --waits_running;
    serial->hold(false);
    if (std::exchange(baud_timeout_deferred, false))
        QMetaObject::invokeMethod(this, &MainWindow::timeout, Qt::QueuedConnection);
    // Torn down meanwhile (the window closed, the line was lost): this run must not go on.
    if (run != run_generation)
        return false;
    arm_silence_bound();
    return true;
}

bool MainWindow::retry_within(int bound_ms, int pause_ms, const std::function<bool()>& attempt)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (!attempt()) {
        if (elapsed.elapsed() >= bound_ms || !protocol_wait(pause_ms))
            return false;
    }
    return true;
}

void MainWindow::stop_link_timers()
{
    baud_timer.stop();
    silence_timer.stop();
    serial->cancel_reply_timeout();
}

void MainWindow::arm_silence_bound()
{
    if (popup->is_started() && waits_running == 0)
        silence_timer.start(waits.silence_bound_ms);
}

void MainWindow::timeout()
{
    if (waits_running > 0) {
        baud_timer.stop();
        baud_timeout_deferred = true;
        return;
    }
    serial_state(QString::fromLatin1(protocol::baud_timeout_text));
    baud_timer.stop();
}

void MainWindow::serial_state(QString message)
{
    const auto contains = [&message](const char* token) {
        return message.contains(QLatin1String(token), Qt::CaseSensitive);
    };

    if (message == QLatin1String(link_conditions::connected)) {
        show_connected();
    } else if (message == QLatin1String(link_conditions::busy)) {
        ui->info->setText(port_access::refusal_notice(port_access::inspect(ui->boxPort->currentText())));
    } else if (protocol::holds_failure(message)) {
        end_run(message);
    } else if (contains(protocol::usb_announcement) || contains(protocol::uart_announcement)) {
        announce(message);
    } else if (contains(protocol::data_request)) {
        baud_timer.stop();
        serial->set_reply_timeout_enabled(false);
        // The request reaches us from inside the port's read notification, and the port reports
        // nothing that arrives while that notification is still running: a transmission started
        // here would not hear a progress report or a failure before its last line. It starts as
        // soon as the notification has returned, unless the record was changed or released, or
        // the window closed, in the meantime.
        const quint64 requested = transfer_epoch;
        QMetaObject::invokeMethod(
            this,
            [this, requested] {
                if (requested == transfer_epoch)
                    send_archive();
            },
            Qt::QueuedConnection);
    } else if (contains(protocol::progress_report)) {
        const protocol::ProgressShown shown = protocol::progress_status(protocol::progress_value(message));
        if (shown.shown)
            set_progress_and_status(shown.text, shown.progress);
    } else if (contains(protocol::reset_request)) {
        reset_port();
    } else if (contains(protocol::file_confirmed)) {
        confirm_file();
    } else if (contains(protocol::reprogramming_report)) {
        set_progress_and_status(QString::fromUtf8(protocol::reprogramming_status), protocol::reprogramming_progress);
    } else {
        end_run(message);
    }
}

void MainWindow::announce(const QString& message)
{
    set_progress_and_status(QString::fromUtf8(protocol::started_status), progress_started);
    usb_mode = message.contains(QLatin1String(protocol::usb_announcement)) ? 1 : 0;
    set_send_delay();
    if (usb_mode == 0) {
        const quint64 run = run_generation;
        const bool rated = retry_within(waits.link_retry_bound_ms, 0, [this] {
            return port.setBaudRate(protocol::uart_data_baud_rate, QSerialPort::AllDirections);
        });
        if (!rated) {
            if (run == run_generation)
                end_run_link_lost();
            return;
        }
    }
    baud_timer.start(waits.baud_guard_ms);
}

void MainWindow::reset_port()
{
    const quint64 run = run_generation;
    port.close();
    if (!protocol_wait(waits.reset_settle_ms))
        return;
    const bool reopened = retry_within(waits.link_retry_bound_ms, waits.reopen_retry_ms,
                                       [this] { return port.open(QIODevice::ReadWrite); });
    if (!reopened) {
        if (run == run_generation)
            end_run_link_lost();
        return;
    }
    ServiceLog::shared().note_open(port.portName(), true);
    port.setBaudRate(Serial::base_baud_rate, QSerialPort::AllDirections);
}

void MainWindow::confirm_file()
{
    if (current_file_name.contains(QLatin1String("EVENT"), Qt::CaseInsensitive)) {
        set_progress_and_status(QString::fromUtf8(protocol::finishing_status), progress_finishing);
        port.close();
        if (!protocol_wait(waits.event_port_pause_ms))
            return;
        // A failure here shows up later as link errors or missing answers.
        ServiceLog::shared().note_open(port.portName(), port.open(QIODevice::ReadWrite));
    }
    set_progress_and_status(QString::fromUtf8(protocol::success_status), progress_done);
    if (!protocol_wait(waits.confirm_pause_ms))
        return;
    read_archive();
}

void MainWindow::tear_down()
{
    ++run_generation;
    stop_link_timers();
    if (archive.holds_lines())
        clear_archive(&archive);
    reset_popup();
    package_extraction::remove(extraction);
}

void MainWindow::end_run(const QString& message)
{
    fail_run(protocol::failure_text(message), message == QLatin1String(link_conditions::interrupted));
}

void MainWindow::end_run_link_lost()
{
    fail_run(QString::fromUtf8(protocol::link_lost_status), true);
}

void MainWindow::fail_run(const QString& text, bool link_gone)
{
    tear_down();
    set_progress_and_status(text, 0);
    if (link_gone)
        disconnect_after_loss(text);
    ServiceLog::shared().end_update(text);
}

void MainWindow::disconnect_after_loss(const QString& notice)
{
    // Only ever a disconnection: a loss must never make the window open a port.
    if (is_connected())
        on_connectButton_clicked();
    ui->info->setText(notice);
}
