#ifndef STATION_WINDOW_H
#define STATION_WINDOW_H

#include "link/port_catalog.h"
#include "link/port_monitor.h"
#include "rules/bootloader_protocol.h"
#include "rules/package_trust.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <QTimer>

#include <memory>
#include <vector>

class PopUp;
class QCheckBox;
class QCloseEvent;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSettings;
class QSpinBox;
class StationRow;
class UnitHistory;

// A bench of units in one window: a package bar, one row per slot with an engine of its own, and the session's
// counters. Slots are pinned to USB locations, adapter serials or port names, and with auto-start on a unit plugged
// into a pinned slot starts by itself once the operator consented to the package. A port no slot is pinned to is
// never opened.
class StationWindow : public QMainWindow
{
    Q_OBJECT
public:
    // The slots, the auto-start switch and the target are kept in `settings_file` between sessions.
    explicit StationWindow(const QString& settings_file = default_settings_file(), QWidget* parent = nullptr);
    ~StationWindow() override;
    StationWindow(const StationWindow&) = delete;
    StationWindow& operator=(const StationWindow&) = delete;

    // <AppConfigLocation>/station.ini
    static QString default_settings_file();

    // Shortens the protocol's fixed waits; only tests call it.
    void set_waits(const bootloader_protocol::Waits& shorter);
    // Notices ports of this catalog, read every poll_ms, and finds units again there; the window starts with the
    // system's. Tests list their own.
    void use_port_catalog(const PortCatalog& catalog, int poll_ms);
    // How long a slot must stay empty before the unit that ended there counts as unplugged; tests shorten it.
    void set_unplugged_ms(int ms) { unplugged_ms = ms; }
    // The start warning, for the tests that answer it.
    PopUp* warning() const { return popup; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void build_package_bar(QWidget* parent, QLayout* layout);
    void build_counters(QWidget* parent, QLayout* layout);
    void choose_package();
    void start_pressed();
    void consented();
    void start_fixture();
    void pin_edited(int slot);
    void ports_changed();
    void follow_slots();
    void unit_ended(bool passed);
    void show_counters();
    void set_locked(bool locked);
    void show_slot_count(int count);
    void save();

    std::unique_ptr<QSettings> settings;
    UnitHistory* history = nullptr;
    PopUp* popup = nullptr;
    std::vector<StationRow*> rows;
    QGridLayout* grid = nullptr;

    SystemPortCatalog system_ports;
    const PortCatalog* catalog = &system_ports;
    std::unique_ptr<PortMonitor> monitor;
    QTimer ticker;
    QElapsedTimer clock;
    int unplugged_ms;

    // The package picked, read once: every unit unpacks these bytes.
    QString package_path;
    package_trust::PackageBytes package;
    // The SHA-256 of the package the operator consented to in this session; empty before any.
    QByteArray consented_sha256;
    int passed = 0;
    int failed = 0;

    QPushButton* package_button = nullptr;
    QLineEdit* package_field = nullptr;
    QLineEdit* package_status = nullptr;
    QLabel* equipment = nullptr;
    QLabel* signature = nullptr;
    QPushButton* start_button = nullptr;
    QPushButton* lock_button = nullptr;
    QCheckBox* auto_start = nullptr;
    QSpinBox* slot_count = nullptr;
    QLabel* passed_label = nullptr;
    QLabel* failed_label = nullptr;
    QLabel* total_label = nullptr;
    QSpinBox* target = nullptr;
    QLabel* left_label = nullptr;
};

#endif // STATION_WINDOW_H
