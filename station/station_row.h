#ifndef STATION_ROW_H
#define STATION_ROW_H

#include "engine/update_engine.h"
#include "station/slot_rules.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class UnitHistory;
class UnitLedger;
class QWidget;

// One slot of the bench: its widgets on one line of the station's grid and the one engine that updates the units
// plugged into it. The row shows what its engine reports and keeps each unit's record and history row, as the main
// window does for its one unit; the protocol is the engine's.
class StationRow : public QObject
{
    Q_OBJECT
public:
    // The row's widgets go on line `number` of the grid, named after it ("slot_3", "stage_3").
    StationRow(int number, QGridLayout* grid, UnitHistory& history, QObject* parent = nullptr);
    ~StationRow() override;
    StationRow(const StationRow&) = delete;
    StationRow& operator=(const StationRow&) = delete;

    UpdateEngine& engine() { return unit; }
    bool running() const { return unit.is_started() || preparing; }
    QString pin() const { return pinned; }
    void set_pin(const QString& pin) { pinned = pin; }
    const slot_rules::Latch& latch() const { return plug_latch; }
    void reset_latch() { plug_latch = slot_rules::Latch(); }

    // Opens the package's bytes and the port: false, with the reason said in the row, when either refuses. Unpacking a
    // big package takes a good part of a second, so a bench prepares every unit before it starts any: a unit started
    // first would otherwise wait for the others' unpacking with its reply time-out running.
    bool prepare(const QString& port, const QString& package, const package_trust::PackageBytes& bytes);
    // Starts the prepared unit: the operator consented to its package before.
    void start();
    // The slot as found now (`now_ms` on a steady clock): its adapter's serial, and whether the unit that ended there
    // has been unplugged since.
    void follow_slot(const slot_rules::Found& found, qint64 now_ms, int unplugged_ms);
    // A refusal of the operator's input that belongs to this row.
    void show_refusal(const QString& text);
    void clear_status();
    // Every second: the time left, or how long the equipment has been silent.
    void tick();
    void set_visible(bool visible);
    void set_locked(bool locked);

    QComboBox* slot_box = nullptr;
    QLineEdit* serial = nullptr;

signals:
    void ended(bool passed);

private:
    void show_stage(const UpdateEngine::Stage& stage);
    void show_end(bootloader_protocol::EndClass end, const QString& text);
    void paint(const char* style);

    UpdateEngine unit;
    UnitHistory& history;
    QPointer<UnitLedger> ledger;
    QString pinned;
    // What the engine said when the port did not open.
    QString port_notice;
    // The unit's serial as it started, so that a serial scanned for the next unit is left alone at an unplug.
    QString started_serial;
    slot_rules::Latch plug_latch;
    bool preparing = false;
    int silent_s = 0;
    QList<QWidget*> widgets;
    QLabel* number_label = nullptr;
    QLabel* adapter = nullptr;
    QLabel* file = nullptr;
    QLabel* stage = nullptr;
    QProgressBar* bar = nullptr;
    QLabel* time = nullptr;
    QPushButton* log = nullptr;
};

#endif // STATION_ROW_H
