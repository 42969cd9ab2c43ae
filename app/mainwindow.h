#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "engine/update_engine.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>

class QCloseEvent;
class QShortcut;
class PopUp;
class UnitHistory;
class UnitLedger;
class zipwindow;

namespace Ui
{
class MainWindow;
}

// The window the operator works in: its form, the operator's slots and the one place that shows
// how the update stands. The update itself is the engine's; the window drives one engine and shows
// what it reports, and never touches the port.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // Every notice of its own the window may write into its info label, with the longest numbers
    // it can hold, so that one can check each fits.
    static QStringList info_notices();

    // Shortens the protocol's fixed waits; only tests call it.
    void set_waits(const bootloader_protocol::Waits& shorter);
    // Lists the ports of this catalog, looked at every poll_ms, and finds units again there; the
    // window starts with the system's. Tests list their own.
    void use_port_catalog(const PortCatalog& catalog, int poll_ms);

signals:
    void send_board(QString id);

private slots:
    void on_Search_archive_clicked();
    void on_connectButton_clicked();
    void init_button(bool init);
    void set_progress_and_status(QString text, int progress);
    void closeEvent(QCloseEvent* close) override;
    void on_scan_push_button_clicked();
    void show_secret_window();

private:
    bool is_connected() const;
    void show_ports(const QList<PortIdentity>& ports);
    void show_connected();
    void reset_popup();
    void show_stage(const UpdateEngine::Stage& stage);
    void show_disconnected();
    void show_ending(bootloader_protocol::EndClass end, const QString& text);
    void disconnect_after_loss(const QString& notice, bool after_update);

    Ui::MainWindow* ui;
    UpdateEngine* engine = nullptr;
    UnitHistory* history = nullptr;
    UnitLedger* ledger = nullptr;
    PopUp* popup = nullptr;
    zipwindow* zip_window = nullptr;
    // The file counter the engine reported last, shown behind every status text.
    QString status_suffix;
    QString package_path;
    QShortcut* converter_shortcut = nullptr;
    SystemPortCatalog system_ports;
    PortWatcher* port_watcher = nullptr;
    int watch_interval_ms = PortWatcher::default_interval_ms;
};

#endif // MAINWINDOW_H
