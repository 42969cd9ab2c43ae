#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "rules/archive.h"
#include "rules/bootloader_protocol.h"
#include "rules/package_extraction.h"

#include <QList>
#include <QMainWindow>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <functional>

class QCloseEvent;
class QEventLoop;
class QShortcut;
class PopUp;
class Serial;
class zipwindow;

namespace Ui
{
class MainWindow;
}

// The hub of the program: it owns the port, follows the bootloader through an update and tells
// the operator where things stand.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Shortens the protocol's fixed waits; only tests call it.
    void set_waits(const bootloader_protocol::Waits& shorter);

signals:
    void send_board(QString id);

private slots:
    void on_Search_archive_clicked();
    void serial_state(QString message);
    void on_connectButton_clicked();
    void init_button(bool init);
    void set_progress_and_status(QString text, int progress);
    void closeEvent(QCloseEvent* close) override;
    void on_scan_push_button_clicked();
    void show_secret_window();
    void read_archive();
    void timeout();
    void send_archive();
    void clear_archive(Archive* archive);
    void set_send_delay();
    void reorder_files();

private:
    bool is_connected() const;
    void fill_port_list();
    void show_connected();
    void reset_popup();
    void abandon_package();
    void announce(const QString& message);
    void reset_port();
    void confirm_file();
    void tear_down();
    void end_run(const QString& message);
    void end_run_link_lost();
    // Tears the run down and shows the text at 0 %. A line that is gone also disconnects.
    void fail_run(const QString& text, bool link_gone);
    void disconnect_after_loss(const QString& notice);
    void pause_between_lines(QEventLoop& pause);
    bool protocol_wait(int ms);
    bool retry_within(int bound_ms, int pause_ms, const std::function<bool()>& attempt);
    void stop_link_timers();
    void arm_silence_bound();
    void end_started_run();

    Ui::MainWindow* ui;
    QSerialPort port;
    Serial* serial = nullptr;
    PopUp* popup = nullptr;
    zipwindow* zip_window = nullptr;
    QString status_suffix;
    QList<QString> file_list;
    QTimer baud_timer;
    Archive archive;
    QString current_file_name;
    QString package_path;
    // Until a bootloader announces its link, the slower UART pace is the safe one.
    int usb_mode = 0;
    int send_delay = bootloader_protocol::uart_send_delay_ms;

    QShortcut* converter_shortcut = nullptr;
    // What the unpacking of the opened package created: the only thing ever removed.
    Extraction extraction;
    int files_loaded = 0;
    int files_total = 0;
    // Bumped by every change of the record, by every request for the data and by closing the
    // window: a transmission whose epoch is no longer current never writes again.
    quint64 transfer_epoch = 0;
    int transmissions_running = 0;

    bootloader_protocol::Waits waits;
    // Bounds how long a started run waits for a device that has stopped answering.
    QTimer silence_timer;
    // Bumped by every teardown: a wait that finds it changed knows its run is over.
    quint64 run_generation = 0;
    int waits_running = 0;
    bool baud_timeout_deferred = false;
};

#endif // MAINWINDOW_H
