#include "app/mainwindow.h"

#include "converter/zipwindow.h"
#include "engine/unit_ledger.h"
#include "engine/unit_report.h"
#include "servicelog/service_log.h"
#include "ui_mainwindow.h"
#include "widgets/popup.h"
#include "widgets/shortcut_over_fields.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QShortcut>

namespace
{

const char* const connect_label = "CONECTAR";
const char* const disconnect_label = "DESCONECTAR";
const char* const connected_status = "CONECTADO";
const char* const disconnected_status = "DESCONECTADO";
const char* const connected_style = "background:rgb(15, 255, 15);font: 75 9pt Arial Black; color:rgb(0, 0, 0);";
const char* const disconnected_style =
    "background:rgb(255, 15, 15);font: 75 9pt Arial Black; color:rgb(255, 255, 255); border: 1px solid black;";
const char* const valid_package_text = "Arquivo Validado";
// Opening another package under a running transmission would swap the file being sent.
const char* const transfer_running_text = "Erro! Envio em andamento, aguarde o fim do arquivo";
const char* const converter_keys = "Ctrl+V, Ctrl+K, Ctrl+T";

// Notices of our own in the info label, which a run leaves free: "Operação realizada com
// Sucesso!" ends every file, so the operator is told whether the update goes on or is over, and
// what to do after a failure.
const char* const going_on_notice = "Atualização em andamento: não desligue o equipamento nem o cabo.";
const char* const file_done_notice = "Arquivo %1 de %2 gravado. A atualização continua: mantenha o equipamento ligado.";
const char* const complete_notice = "Atualização completa: todos os %1 arquivos foram gravados.";
const char* const closed_after_update_notice = "Atualização completa. O equipamento reiniciou e encerrou a conexão.";
const char* const silent_notice = "O equipamento está sem responder há %1 s. Aguarde (limite: 5 min).";

struct NextStep {
    bootloader_protocol::EndClass end;
    const char* notice;
};
// What to do after each kind of ending; the status line already says what happened.
const NextStep next_steps[] = {
    {bootloader_protocol::EndClass::device_failure,
     "A atualização falhou. Abra o pacote de novo; se falhar outra vez, chame o suporte."},
    {bootloader_protocol::EndClass::timeout,
     "Sem resposta: ligue o equipamento em modo de atualização e abra o pacote de novo."},
    {bootloader_protocol::EndClass::unexpected_answer,
     "Resposta desconhecida. Confira se o pacote é deste equipamento e chame o suporte."},
    {bootloader_protocol::EndClass::link_lost, "Verifique o cabo, conecte de novo e abra o pacote de novo."},
    {bootloader_protocol::EndClass::package_unusable, "O pacote não pôde ser lido. Obtenha uma cópia nova dele."},
    {bootloader_protocol::EndClass::stopped,
     "Atualização interrompida: conecte e abra o pacote de novo para concluí-la."},
};

// A status field shows the start of its text, where "Erro!" stands, however long the text is.
void show_from_start(QLineEdit* field, const QString& text)
{
    field->setText(text);
    field->setCursorPosition(0);
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
    engine = new UpdateEngine(ServiceLog::default_folder(), this);
    // Every unit started goes on record before its first byte; rows left open by a program that died are closed.
    history = new UnitHistory(this);
    connect(history, &UnitHistory::warning, this, [](const QString& text) { qWarning("%s", qPrintable(text)); });
    history->open(UnitHistory::default_path());
    ledger = new UnitLedger(*engine, *history, QString(), this);

    use_port_catalog(system_ports, PortWatcher::default_interval_ms);

    converter_shortcut = new QShortcut(QKeySequence(QString::fromLatin1(converter_keys)), this);
    converter_shortcut->setContext(Qt::WindowShortcut);
    // The port box has the focus at start, and its text field would take the first chords.
    new ShortcutOverFields(converter_shortcut);

    connect(popup, &PopUp::init, this, &MainWindow::init_button);
    connect(engine, &UpdateEngine::stage, this, &MainWindow::show_stage);
    connect(engine, &UpdateEngine::port_opened, this, &MainWindow::show_connected);
    connect(engine, &UpdateEngine::port_refused, ui->info, &QLabel::setText);
    connect(engine, &UpdateEngine::consent_withdrawn, this, &MainWindow::reset_popup);
    connect(engine, &UpdateEngine::port_lost, this, &MainWindow::disconnect_after_loss);
    connect(engine, &UpdateEngine::ended, this, &MainWindow::show_ending);
    // Each unit served leaves its line in the reports file, as the command line's units do.
    connect(engine, &UpdateEngine::ended, this, [this](bootloader_protocol::EndClass end, const QString& text) {
        QString why;
        const UnitRecord record = unit_report::record_of(*engine, engine->adapter().name, end, text);
        if (!unit_record::append(unit_record::default_reports_path(), record, &why))
            qWarning("The unit's record was not written to the reports file: %s", qPrintable(why));
        ledger->close(record);
    });
    connect(engine, &UpdateEngine::silent_for, this, [this](int seconds) {
        ui->info->setText(seconds > 0 ? QString::fromUtf8(silent_notice).arg(seconds)
                                      : QString::fromUtf8(going_on_notice));
    });
    connect(this, &MainWindow::send_board, popup, &PopUp::show_board);
    connect(converter_shortcut, SIGNAL(activated()), this, SLOT(show_secret_window()));

    ui->archiveGroupBox->setEnabled(false);
    ui->boxStatus->setEnabled(false);
}

MainWindow::~MainWindow()
{
    delete ui;
}

QStringList MainWindow::info_notices()
{
    // A package holds at most a thousand files; the silence bound is five minutes.
    const QString most_files = QStringLiteral("1000");
    QStringList notices{QString::fromUtf8(going_on_notice),
                        QString::fromUtf8(file_done_notice).arg(most_files, most_files),
                        QString::fromUtf8(complete_notice).arg(most_files),
                        QString::fromUtf8(closed_after_update_notice), QString::fromUtf8(silent_notice).arg(300)};
    // A lost line's text stands in front of its next step.
    const QStringList losses{QString::fromUtf8(bootloader_protocol::line_lost_status),
                             QString::fromUtf8(bootloader_protocol::link_lost_status)};
    for (const NextStep& step : next_steps) {
        notices << QString::fromUtf8(step.notice);
        for (const QString& loss : losses) {
            if (step.end == bootloader_protocol::EndClass::link_lost)
                notices << loss + QLatin1Char(' ') + QString::fromUtf8(step.notice);
        }
    }
    return notices;
}

void MainWindow::set_waits(const bootloader_protocol::Waits& shorter)
{
    engine->set_waits(shorter);
}

bool MainWindow::is_connected() const
{
    return ui->connectButton->text() != QLatin1String(connect_label);
}

void MainWindow::use_port_catalog(const PortCatalog& catalog, int poll_ms)
{
    delete port_watcher;
    port_watcher = new PortWatcher(catalog, this);
    connect(port_watcher, &PortWatcher::changed, this, &MainWindow::show_ports);
    engine->set_port_catalog(catalog);
    watch_interval_ms = poll_ms;
    // The list matters only while a port is being chosen; while connected the box is disabled, and
    // an enumeration (milliseconds of work) must not delay a line's pause.
    if (!is_connected())
        port_watcher->start(watch_interval_ms);
    show_ports(port_watcher->ports());
}

void MainWindow::show_ports(const QList<PortIdentity>& ports)
{
    // A port chosen from the list stays chosen while it is there; a name the operator typed stays
    // as typed, cursor and all.
    const QString chosen = ui->boxPort->currentText();
    const bool typed = ui->boxPort->findText(chosen) < 0;
    const int cursor = ui->boxPort->lineEdit()->cursorPosition();
    ui->boxPort->clear();
    for (const PortIdentity& port : ports) {
        ui->boxPort->addItem(port.name);
        ui->boxPort->setItemData(ui->boxPort->count() - 1, port.describe(), Qt::ToolTipRole);
    }
    const int at = ui->boxPort->findText(chosen);
    if (at >= 0) {
        ui->boxPort->setCurrentIndex(at);
    } else if (typed && !chosen.isEmpty()) {
        ui->boxPort->setEditText(chosen);
        ui->boxPort->lineEdit()->setCursorPosition(cursor);
    }
}

void MainWindow::on_scan_push_button_clicked()
{
    port_watcher->scan();
    show_ports(port_watcher->ports());
}

void MainWindow::on_connectButton_clicked()
{
    if (!is_connected()) {
        engine->open_port(ui->boxPort->currentText());
        ui->lineStatusArchive->clear();
        return;
    }

    show_disconnected();
    engine->close_port();
    ui->statusBootloader->clear();
}

void MainWindow::show_connected()
{
    ui->statusConnect->setText(QString::fromUtf8(connected_status));
    ui->statusConnect->setStyleSheet(QString::fromUtf8(connected_style));
    ui->connectButton->setText(QString::fromUtf8(disconnect_label));
    ui->archiveGroupBox->setEnabled(true);
    ui->boxSerial->setEnabled(false);
    ui->info->clear();
    port_watcher->stop();
}

void MainWindow::show_disconnected()
{
    ui->statusConnect->setText(QString::fromUtf8(disconnected_status));
    ui->statusConnect->setStyleSheet(QString::fromUtf8(disconnected_style));
    ui->connectButton->setText(QString::fromUtf8(connect_label));
    ui->archiveGroupBox->setEnabled(false);
    ui->boxStatus->setEnabled(false);
    ui->boxSerial->setEnabled(true);
    ui->fileLineEdit->clear();
    ui->lineStatusArchive->clear();
    port_watcher->start(watch_interval_ms);
    show_ports(port_watcher->ports());
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
    engine->start();
}

void MainWindow::set_progress_and_status(QString text, int progress)
{
    show_from_start(ui->statusBootloader, text + status_suffix);
    ui->progressBar->setValue(progress);
    // Both ends of the scale are where a run may have ended.
    if ((progress == 0 || progress == 100) && !engine->is_started())
        popup->set_init_enabled(true);
}

void MainWindow::show_stage(const UpdateEngine::Stage& stage)
{
    status_suffix = stage.counter;
    set_progress_and_status(stage.text, stage.progress);
    if (!engine->is_started())
        return;
    ui->info->setText(stage.step == UpdateEngine::Step::file_done
                          ? QString::fromUtf8(file_done_notice).arg(stage.file).arg(stage.files)
                          : QString::fromUtf8(going_on_notice));
}

void MainWindow::show_ending(bootloader_protocol::EndClass end, const QString& text)
{
    Q_UNUSED(text)
    if (end == bootloader_protocol::EndClass::success) {
        ui->info->setText(QString::fromUtf8(complete_notice).arg(engine->file_count()));
        return;
    }
    for (const NextStep& step : next_steps) {
        if (step.end == end)
            ui->info->setText(QString::fromUtf8(step.notice));
    }
}

void MainWindow::closeEvent(QCloseEvent* close)
{
    // Closing the window abandons the update: nothing more is sent, and the unpacked firmware
    // goes with it, as at every other ending.
    engine->abandon();
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
    if (engine->is_sending()) {
        show_from_start(ui->lineStatusArchive, QString::fromUtf8(transfer_running_text));
        return;
    }

    QString selected_filter = tr("VKT (*.vkt)");
    package_path =
        QFileDialog::getSaveFileName(this, QString(), QString(), tr("All files (*.*);;VKT (*.vkt)"), &selected_filter);
    ui->fileLineEdit->setText(package_path);
    const UpdateEngine::PackageOpening opening = engine->open_package(package_path);
    ui->lineStatusArchive->setText(opening.refusal.isEmpty() ? QString::fromUtf8(valid_package_text) : opening.refusal);
    if (!opening.refusal.isEmpty())
        return;
    emit send_board(package_path);
    const package_trust::Verdict& signature = engine->package_signature();
    popup->show_signer(signature.state == package_trust::State::verified ? signature.trusted_comment : QString());
    if (opening.accepted)
        popup->show();
}

void MainWindow::disconnect_after_loss(const QString& notice, bool after_update)
{
    if (after_update) {
        // The update stands as it ended, its text and 100 % with it; only the connection goes.
        show_disconnected();
        ui->info->setText(QString::fromUtf8(closed_after_update_notice));
        return;
    }
    // Only ever a disconnection: a loss must never make the window open a port.
    if (is_connected())
        on_connectButton_clicked();
    const QString next = ui->info->text();
    ui->info->setText(notice + QLatin1Char(' ') + next);
}
