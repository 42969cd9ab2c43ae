#include "station/station_row.h"

#include "engine/unit_ledger.h"
#include "engine/unit_report.h"
#include "servicelog/service_log.h"
#include "servicelog/unit_record.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

namespace protocol = bootloader_protocol;

namespace
{

// "#B_END" leaves through the port's write notifier on a later pass of the event loop: closing the port at once
// would drop it from the buffer.
constexpr int end_grace_ms = 200;

const char* const passed_style = "background:rgb(40, 190, 70); color:rgb(0, 0, 0);";
const char* const failed_style = "background:rgb(220, 35, 35); color:rgb(255, 255, 255);";
// Input refused before any run: nothing was sent, so it is no failed unit.
const char* const refused_style = "background:rgb(255, 175, 0); color:rgb(0, 0, 0);";
const char* const silent_text = "sem resposta há %1 s";
const char* const waiting_text = "Aguardando unidade";

} // namespace

StationRow::StationRow(int number, QGridLayout* grid, UnitHistory& history, QObject* parent)
    : QObject(parent), unit(ServiceLog::default_folder()), history(history)
{
    QWidget* owner = grid->parentWidget();
    const QString suffix = QStringLiteral("_%1").arg(number);
    number_label = new QLabel(QString::number(number), owner);
    slot_box = new QComboBox(owner);
    slot_box->setEditable(true);
    slot_box->setMinimumWidth(150);
    slot_box->lineEdit()->setPlaceholderText(QStringLiteral("loc:, usb: ou porta"));
    adapter = new QLabel(owner);
    serial = new QLineEdit(owner);
    serial->setPlaceholderText(QStringLiteral("Nº de série"));
    file = new QLabel(owner);
    stage = new QLabel(owner);
    stage->setMinimumWidth(360);
    stage->setAutoFillBackground(true);
    bar = new QProgressBar(owner);
    bar->setMaximumWidth(100);
    time = new QLabel(owner);
    time->setMinimumWidth(120);
    log = new QPushButton(QStringLiteral("LOG"), owner);
    log->setEnabled(false);
    widgets = {number_label, slot_box, adapter, serial, file, stage, bar, time, log};
    const char* const names[] = {"number", "slot", "adapter", "serial", "file", "stage", "progress", "time", "log"};
    for (int column = 0; column < widgets.size(); ++column) {
        widgets.at(column)->setObjectName(QLatin1String(names[column]) + suffix);
        grid->addWidget(widgets.at(column), number, column);
    }

    connect(&unit, &UpdateEngine::stage, this, &StationRow::show_stage);
    connect(&unit, &UpdateEngine::ended, this, &StationRow::show_end);
    connect(&unit, &UpdateEngine::port_refused, this, [this](const QString& notice) { port_notice = notice; });
    connect(&unit, &UpdateEngine::silent_for, this, [this](int seconds) {
        silent_s = seconds;
        tick();
    });
    connect(log, &QPushButton::clicked, this,
            [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(log->toolTip())); });
}

StationRow::~StationRow()
{
    // The window stops every run before it lets its rows go; were one still going, its log says the program closed.
    unit.abandon();
}

bool StationRow::prepare(const QString& port, const QString& package, const package_trust::PackageBytes& bytes)
{
    if (running())
        return false;
    preparing = true;
    silent_s = 0;
    clear_status();
    file->clear();
    time->clear();
    bar->setValue(0);
    if (unit.is_open())
        unit.close_port();
    // Every unit unpacks its own copy, so that each removes its own at its end.
    const UpdateEngine::PackageOpening opening = unit.open_package(package, bytes);
    if (opening.accepted)
        unit.open_port(port);
    preparing = false;
    if (!opening.accepted || !unit.is_open()) {
        // The engine said why a port did not open (busy, no permission, no such port) through port_refused. The
        // slot waits for its unit to be plugged again, or for the operator, rather than retry every second.
        show_refusal(!opening.accepted ? opening.refusal : port_notice);
        plug_latch.ended(false, QString());
        if (unit.is_open())
            unit.close_port();
        return false;
    }
    preparing = true;
    return true;
}

void StationRow::start()
{
    if (!preparing)
        return;
    // A fresh ledger per unit, with the slot as it is pinned now; the last one's row is already closed.
    delete ledger.data();
    ledger = new UnitLedger(unit, history, pinned, this);
    started_serial = serial->text().trimmed();
    ledger->set_unit_serial(started_serial);
    serial->setReadOnly(true);
    preparing = false;
    unit.start();
}

void StationRow::follow_slot(const slot_rules::Found& found, qint64 now_ms, int unplugged_ms)
{
    const bool held = plug_latch.holds_any();
    plug_latch.seen(found.present ? &found.port : nullptr, now_ms, unplugged_ms);
    if (!running())
        adapter->setText(found.present ? found.port.serial_number : QString());
    if (!found.several.isEmpty() && !running())
        show_refusal(
            QStringLiteral("Erro! Vários adaptadores nesta posição: %1").arg(found.several.join(QStringLiteral(", "))));
    // The unit went: a serial typed for it goes too, one scanned since for the next unit stays.
    if (held && !plug_latch.holds_any() && serial->text().trimmed() == started_serial)
        serial->clear();
    if (!held && !found.present && !running() && !log->isEnabled() && found.several.isEmpty())
        stage->setText(pinned.isEmpty() ? QString() : QString::fromUtf8(waiting_text));
}

void StationRow::show_refusal(const QString& text)
{
    stage->setText(text);
    stage->setToolTip(text);
    paint(refused_style);
}

void StationRow::clear_status()
{
    stage->clear();
    stage->setToolTip(QString());
    paint("");
}

void StationRow::tick()
{
    if (!unit.is_started())
        return;
    time->setText(silent_s > 0 ? QString::fromUtf8(silent_text).arg(silent_s)
                               : slot_rules::time_left(unit.seconds_left()));
}

void StationRow::set_visible(bool visible)
{
    for (QWidget* widget : qAsConst(widgets))
        widget->setVisible(visible);
}

void StationRow::set_locked(bool locked)
{
    slot_box->setEnabled(!locked);
}

void StationRow::show_stage(const UpdateEngine::Stage& reported)
{
    // The engine clears its status when a run is torn down; the ending says what happened.
    if (reported.text.isEmpty() || !unit.is_started())
        return;
    stage->setText(reported.text);
    stage->setToolTip(reported.text);
    bar->setValue(reported.progress);
    file->setText(slot_rules::file_counter(reported.file_name, reported.file, reported.files));
    if (adapter->text().isEmpty())
        adapter->setText(unit.adapter().serial_number);
    tick();
}

void StationRow::show_end(protocol::EndClass end, const QString& text)
{
    const bool passed = end == protocol::EndClass::success;
    const UnitRecord record = unit_report::record_of(unit, pinned, end, text);
    QString why;
    if (!unit_record::append(unit_record::default_reports_path(), record, &why))
        qWarning("The unit's record was not written to the reports file: %s", qPrintable(why));
    if (ledger)
        ledger->close(record);

    const QString shown = QStringLiteral("%1 (%2)").arg(text, QLatin1String(protocol::end_class_name(end)));
    stage->setText(shown);
    stage->setToolTip(shown);
    paint(passed ? passed_style : failed_style);
    if (passed)
        bar->setValue(100);
    silent_s = 0;
    time->clear();
    log->setToolTip(unit.service_log_file());
    log->setEnabled(!unit.service_log_file().isEmpty());
    serial->setReadOnly(false);
    plug_latch.ended(passed, unit.adapter().serial_number);
    QTimer::singleShot(end_grace_ms, this, [this] {
        if (!running())
            unit.close_port();
    });
    emit ended(passed);
}

void StationRow::paint(const char* style)
{
    stage->setStyleSheet(QString::fromUtf8(style));
}
