#include "station/station_window.h"

#include "rules/board_name.h"
#include "rules/package_check.h"
#include "rules/package_rules.h"
#include "servicelog/unit_history.h"
#include "station/station_row.h"
#include "widgets/popup.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <algorithm>
#include <iterator>

namespace
{

const char* const window_title = "VKT Update Station";
const char* const valid_package_text = "Arquivo Validado";
const char* const invalid_package_text = "Erro! Arquivo Inválido";
const char* const clash_text = "Erro! Mesmo adaptador da posição %1";
const char* const busy_slot_text = "Erro! Posição em uso: aguarde o fim da unidade";
const char* const locked_text = "BLOQUEADO";
const char* const unlocked_text = "DESBLOQUEADO";
const char* const headers[] = {"#",     "Posição",   "Adaptador", "Nº de série", "Arquivo",
                               "Etapa", "Progresso", "Tempo",     "Log"};
// Time left and silence move by the second; a slot's unplugging is judged as often.
constexpr int tick_ms = 500;
// A unit's own restart after its update drops the port for a moment; an operator swapping units takes longer.
constexpr int default_unplugged_ms = 3000;

QString signature_text(const package_trust::Verdict& verdict)
{
    switch (verdict.state) {
    case package_trust::State::verified:
        return QStringLiteral("Assinado: ") + verdict.trusted_comment;
    case package_trust::State::unchecked:
        return QStringLiteral("Assinatura não conferida (chave %1)").arg(verdict.key_id);
    case package_trust::State::unreadable:
        return QStringLiteral("Assinatura ilegível");
    default:
        return {};
    }
}

// The form a slot is best pinned by: the socket, which outlives any adapter; else the adapter; else the name.
QString pin_form(const PortIdentity& port)
{
    if (!port.usb_location.isEmpty())
        return QStringLiteral("loc:") + port.usb_location;
    if (!port.serial_number.isEmpty())
        return QStringLiteral("usb:") + port.serial_number;
    return port.name;
}

} // namespace

StationWindow::StationWindow(const QString& settings_file, QWidget* parent)
    : QMainWindow(parent), settings(std::make_unique<QSettings>(settings_file, QSettings::IniFormat)),
      unplugged_ms(default_unplugged_ms)
{
    setObjectName(QStringLiteral("StationWindow"));
    setWindowTitle(QString::fromUtf8(window_title));
    setWindowIcon(QIcon(QStringLiteral(":/resources/resources/station_72x72.png")));
    clock.start();

    // Every unit started goes on record before its first byte; rows left open by a program that died are closed.
    history = new UnitHistory(this);
    connect(history, &UnitHistory::warning, this, [](const QString& text) { qWarning("%s", qPrintable(text)); });
    history->open(UnitHistory::default_path());
    popup = new PopUp();
    connect(popup, &PopUp::init, this, &StationWindow::consented);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    build_package_bar(central, layout);
    auto* slots_box = new QGroupBox(QStringLiteral("POSIÇÕES"), central);
    grid = new QGridLayout(slots_box);
    for (int column = 0; column < int(std::size(headers)); ++column)
        grid->addWidget(new QLabel(QString::fromUtf8(headers[column]), slots_box), 0, column);
    for (int slot = 0; slot < slot_rules::max_slots; ++slot) {
        auto* row = new StationRow(slot + 1, grid, *history, this);
        rows.push_back(row);
        row->set_pin(settings->value(QStringLiteral("slots/pin_%1").arg(slot + 1)).toString());
        row->slot_box->setEditText(row->pin());
        connect(row, &StationRow::ended, this, &StationWindow::unit_ended);
        connect(row->slot_box->lineEdit(), &QLineEdit::editingFinished, this, [this, slot] { pin_edited(slot); });
        connect(row->slot_box, qOverload<int>(&QComboBox::activated), this, [this, slot] { pin_edited(slot); });
    }
    grid->setColumnStretch(5, 1);
    layout->addWidget(slots_box);
    build_counters(central, layout);
    layout->addStretch();
    setCentralWidget(central);

    // Read whole before any is shown: showing one saves them all.
    const int count = settings->value(QStringLiteral("slots/count"), 8).toInt();
    const bool automatic = settings->value(QStringLiteral("auto_start"), false).toBool();
    const int goal = settings->value(QStringLiteral("target"), 0).toInt();
    slot_count->setValue(count);
    auto_start->setChecked(automatic);
    target->setValue(goal);
    show_slot_count(count);
    const bool pinned = std::any_of(rows.begin(), rows.end(), [](StationRow* row) { return !row->pin().isEmpty(); });
    lock_button->setChecked(pinned);
    set_locked(pinned);
    show_counters();

    catalog = &system_ports;
    monitor = PortMonitor::system(system_ports);
    connect(monitor.get(), &PortMonitor::changed, this, &StationWindow::ports_changed);
    ticker.start(tick_ms);
    connect(&ticker, &QTimer::timeout, this, [this] {
        follow_slots();
        for (StationRow* row : rows)
            row->tick();
    });
    ports_changed();
}

StationWindow::~StationWindow()
{
    // The rows first: a run they stop still writes its record and history row.
    for (StationRow* row : rows)
        delete row;
    delete popup;
}

QString StationWindow::default_settings_file()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation) + QStringLiteral("/station.ini");
}

void StationWindow::set_waits(const bootloader_protocol::Waits& shorter)
{
    for (StationRow* row : rows)
        row->engine().set_waits(shorter);
}

void StationWindow::use_port_catalog(const PortCatalog& listed, int poll_ms)
{
    catalog = &listed;
    for (StationRow* row : rows)
        row->engine().set_port_catalog(listed);
    monitor = PortMonitor::polled(listed, poll_ms);
    connect(monitor.get(), &PortMonitor::changed, this, &StationWindow::ports_changed);
    ports_changed();
}

void StationWindow::build_package_bar(QWidget* parent, QLayout* layout)
{
    auto* box = new QGroupBox(QStringLiteral("PACOTE"), parent);
    auto* bar = new QGridLayout(box);
    package_button = new QPushButton(QIcon(QStringLiteral(":/resources/resources/export-icon.png")),
                                     QStringLiteral("PROCURAR"), box);
    package_field = new QLineEdit(box);
    package_status = new QLineEdit(box);
    equipment = new QLabel(box);
    signature = new QLabel(box);
    start_button = new QPushButton(QStringLiteral("Iniciar"), box);
    lock_button = new QPushButton(QIcon(QStringLiteral(":/resources/resources/encrypt.png")), QString(), box);
    auto_start = new QCheckBox(QStringLiteral("Início automático"), box);
    slot_count = new QSpinBox(box);
    package_field->setReadOnly(true);
    package_status->setReadOnly(true);
    equipment->setStyleSheet(QStringLiteral("font: 87 10pt \"Arial Black\";"));
    // A trusted comment runs long: the label takes the room there is, and its tooltip holds it whole.
    signature->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    signature->setMinimumWidth(200);
    start_button->setEnabled(false);
    start_button->setMinimumWidth(110);
    lock_button->setCheckable(true);
    slot_count->setRange(1, slot_rules::max_slots);
    slot_count->setPrefix(QStringLiteral("Posições: "));
    const QList<QPair<QWidget*, const char*>> named = {
        {package_button, "packageButton"}, {package_field, "packageField"}, {package_status, "packageStatus"},
        {equipment, "equipment"},          {signature, "signature"},        {start_button, "startButton"},
        {lock_button, "lockButton"},       {auto_start, "autoStart"},       {slot_count, "slotCount"},
    };
    for (const auto& [widget, name] : named)
        widget->setObjectName(QLatin1String(name));
    bar->addWidget(package_button, 0, 0);
    bar->addWidget(package_field, 0, 1, 1, 3);
    bar->addWidget(package_status, 0, 4, 1, 2);
    bar->addWidget(equipment, 1, 0, 1, 2);
    bar->addWidget(signature, 1, 2);
    bar->addWidget(auto_start, 1, 3);
    bar->addWidget(slot_count, 1, 4);
    bar->addWidget(lock_button, 1, 5);
    bar->addWidget(start_button, 0, 6, 2, 1);
    bar->setColumnStretch(2, 1);
    layout->addWidget(box);

    connect(package_button, &QPushButton::clicked, this, &StationWindow::choose_package);
    connect(start_button, &QPushButton::clicked, this, &StationWindow::start_pressed);
    connect(lock_button, &QPushButton::toggled, this, &StationWindow::set_locked);
    connect(auto_start, &QCheckBox::toggled, this, [this] {
        save();
        follow_slots();
    });
    connect(slot_count, qOverload<int>(&QSpinBox::valueChanged), this, &StationWindow::show_slot_count);
}

void StationWindow::build_counters(QWidget* parent, QLayout* layout)
{
    auto* box = new QGroupBox(QStringLiteral("CONTADORES"), parent);
    auto* line = new QHBoxLayout(box);
    passed_label = new QLabel(box);
    failed_label = new QLabel(box);
    total_label = new QLabel(box);
    target = new QSpinBox(box);
    left_label = new QLabel(box);
    passed_label->setObjectName(QStringLiteral("passedCount"));
    failed_label->setObjectName(QStringLiteral("failedCount"));
    total_label->setObjectName(QStringLiteral("totalCount"));
    target->setObjectName(QStringLiteral("target"));
    left_label->setObjectName(QStringLiteral("leftCount"));
    passed_label->setStyleSheet(QStringLiteral("font: 87 14pt \"Arial Black\"; color:rgb(20, 140, 50);"));
    failed_label->setStyleSheet(QStringLiteral("font: 87 14pt \"Arial Black\"; color:rgb(200, 30, 30);"));
    total_label->setStyleSheet(QStringLiteral("font: 87 14pt \"Arial Black\";"));
    target->setRange(0, 99999);
    target->setPrefix(QStringLiteral("Meta: "));
    target->setSpecialValueText(QStringLiteral("Meta: nenhuma"));
    for (QWidget* widget :
         {static_cast<QWidget*>(passed_label), static_cast<QWidget*>(failed_label), static_cast<QWidget*>(total_label),
          static_cast<QWidget*>(target), static_cast<QWidget*>(left_label)})
        line->addWidget(widget);
    line->addStretch();
    layout->addWidget(box);
    connect(target, qOverload<int>(&QSpinBox::valueChanged), this, [this] {
        save();
        show_counters();
    });
}

void StationWindow::choose_package()
{
    const QString path =
        QFileDialog::getOpenFileName(this, QString(), QString(), QStringLiteral("VKT (*.vkt);;Todos os arquivos (*)"));
    if (path.isEmpty())
        return;
    package_path.clear();
    package = package_trust::PackageBytes();
    start_button->setEnabled(false);
    equipment->clear();
    signature->clear();
    package_field->setText(path);
    QString refusal;
    package_trust::PackageBytes read;
    if (!package_rules::is_package_name(path)) {
        refusal = QString::fromUtf8(invalid_package_text);
    } else {
        // Read and judged once: every unit unpacks the very bytes verified, and that the operator consented to.
        read = package_trust::read(path, package_trust::installed());
        refusal = read.verdict.refusal.isNull() ? package_check::check(path, read.bytes).refusal : read.verdict.refusal;
    }
    package_status->setText(refusal.isNull() ? QString::fromUtf8(valid_package_text) : refusal);
    package_status->setCursorPosition(0);
    if (!refusal.isNull())
        return;
    package_path = path;
    package = read;
    equipment->setText(board_name::equipment_name(path));
    signature->setText(signature_text(package.verdict));
    signature->setToolTip(signature->text());
    start_button->setEnabled(true);
}

void StationWindow::start_pressed()
{
    if (package_path.isEmpty())
        return;
    if (!consented_sha256.isEmpty() && consented_sha256 == package.sha256) {
        start_fixture();
        return;
    }
    // The same warnings as the main window's, once per package and session.
    popup->show_board(package_path);
    popup->show_signer(package.verdict.state == package_trust::State::verified ? package.verdict.trusted_comment
                                                                               : QString());
    popup->set_started(false);
    popup->set_init_enabled(true);
    popup->show();
    popup->raise();
    popup->activateWindow();
}

void StationWindow::consented()
{
    popup->close();
    if (package_path.isEmpty())
        return;
    consented_sha256 = package.sha256;
    start_fixture();
}

void StationWindow::start_fixture()
{
    std::vector<StationRow*> prepared;
    for (StationRow* row : rows) {
        if (row->pin().isEmpty() || row->running() || row->slot_box->isHidden())
            continue;
        // With auto-start on, a unit that passed waits for its replacement; without, the operator swapped the units.
        if (auto_start->isChecked() && row->latch().holds_passed())
            continue;
        const slot_rules::Found found = slot_rules::find(row->pin(), monitor->ports());
        // A port pinned by name that the system does not list (a board's UART, the simulated equipment) is tried.
        const bool named =
            !row->pin().startsWith(QLatin1String("loc:")) && !row->pin().startsWith(QLatin1String("usb:"));
        if ((found.present || named) && row->prepare(found.port.name, package_path, package))
            prepared.push_back(row);
    }
    for (StationRow* row : prepared)
        row->start();
}

void StationWindow::pin_edited(int slot)
{
    StationRow* row = rows.at(size_t(slot));
    const QString pin = row->slot_box->currentText().trimmed();
    if (pin == row->pin())
        return;
    QStringList pins;
    for (StationRow* each : rows)
        pins << each->pin();
    const int other = slot_rules::clash(pin, pins, slot, monitor->ports());
    const QString refusal = row->running() ? QString::fromUtf8(busy_slot_text)
                            : other >= 0   ? QString::fromUtf8(clash_text).arg(other + 1)
                                           : slot_rules::pin_refusal(pin);
    if (!refusal.isEmpty()) {
        row->show_refusal(refusal);
        row->slot_box->setEditText(row->pin());
        return;
    }
    row->set_pin(pin);
    row->clear_status();
    row->reset_latch();
    save();
    follow_slots();
}

void StationWindow::ports_changed()
{
    const QList<PortIdentity>& ports = monitor->ports();
    for (StationRow* row : rows) {
        QComboBox* box = row->slot_box;
        // A box being typed into or picked from is left as it is.
        if (box->hasFocus() || box->view()->isVisible())
            continue;
        const QString shown = box->currentText();
        box->clear();
        for (const PortIdentity& port : ports) {
            box->addItem(pin_form(port));
            box->setItemData(box->count() - 1, port.name + QStringLiteral(": ") + port.describe(), Qt::ToolTipRole);
        }
        box->setCurrentIndex(-1);
        box->setEditText(shown);
    }
    follow_slots();
}

void StationWindow::follow_slots()
{
    const bool may_start = auto_start->isChecked() && !package_path.isEmpty() && !consented_sha256.isEmpty() &&
                           consented_sha256 == package.sha256;
    for (StationRow* row : rows) {
        if (row->pin().isEmpty() || row->slot_box->isHidden())
            continue;
        const slot_rules::Found found = slot_rules::find(row->pin(), monitor->ports());
        row->follow_slot(found, clock.elapsed(), unplugged_ms);
        if (may_start && found.present && !row->running() && !row->latch().holds_any() &&
            row->prepare(found.port.name, package_path, package))
            row->start();
    }
}

void StationWindow::unit_ended(bool unit_passed)
{
    ++(unit_passed ? passed : failed);
    show_counters();
}

void StationWindow::show_counters()
{
    passed_label->setText(QStringLiteral("Aprovadas %1").arg(passed));
    failed_label->setText(QStringLiteral("Reprovadas %1").arg(failed));
    total_label->setText(QStringLiteral("Total %1").arg(passed + failed));
    left_label->setText(target->value() > 0 ? QStringLiteral("Faltam %1").arg(std::max(0, target->value() - passed))
                                            : QString());
}

void StationWindow::set_locked(bool locked)
{
    lock_button->setText(QString::fromUtf8(locked ? locked_text : unlocked_text));
    package_button->setEnabled(!locked);
    slot_count->setEnabled(!locked);
    for (StationRow* row : rows)
        row->set_locked(locked);
}

void StationWindow::show_slot_count(int count)
{
    for (int slot = 0; slot < int(rows.size()); ++slot)
        rows.at(size_t(slot))->set_visible(slot < count);
    save();
}

void StationWindow::save()
{
    for (int slot = 0; slot < int(rows.size()); ++slot)
        settings->setValue(QStringLiteral("slots/pin_%1").arg(slot + 1), rows.at(size_t(slot))->pin());
    settings->setValue(QStringLiteral("slots/count"), slot_count->value());
    settings->setValue(QStringLiteral("auto_start"), auto_start->isChecked());
    settings->setValue(QStringLiteral("target"), target->value());
}

void StationWindow::closeEvent(QCloseEvent* event)
{
    // Every unit under way stops: nothing more is sent, each line goes back to its base rate and closes, and each
    // unit's record says it was stopped.
    for (StationRow* row : rows) {
        if (row->running())
            row->engine().close_port(QStringLiteral("station closed"));
    }
    popup->close();
    QMainWindow::closeEvent(event);
}
