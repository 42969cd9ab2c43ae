#include "converter/zipwindow.h"

#include "rules/package_extraction.h"
#include "rules/firmware_rules.h"
#include "ui_zipwindow.h"

#include <JlCompress.h>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QSaveFile>

namespace
{

const QString package_suffix = QStringLiteral(".vkt");

const QString text_success = QStringLiteral("Arquivo gerado com sucesso!");
const QString text_compress_failed = QStringLiteral("Erro! Não foi possível converter a pasta");
const QString text_no_folder = QStringLiteral("Erro! Nenhuma pasta selecionada");
const QString text_open_failed = QStringLiteral("Erro! Não foi possível abrir o arquivo");
const QString text_read_failed = QStringLiteral("Erro! Não foi possível ler o arquivo");
const QString text_write_failed = QStringLiteral("Erro! Não foi possível gravar o arquivo");
const QString text_zero_first_byte = QStringLiteral("Erro! Arquivo Não Selecionado");
const QString text_invalid_first_byte = QStringLiteral("Erro! Arquivo Inválido!");
const QString text_bad_name = QStringLiteral("Erro! Firmware fora do padrão");
const QString info_no_identifier = QStringLiteral("INFO: Identificador de arquivo não encontrado");
const QString info_bad_name = QStringLiteral("INFO: Nomeclatura do Firmware Incorreta");
const QString text_empty_folder = QStringLiteral("Erro! A pasta não tem arquivos");
const QString text_file_too_big = QStringLiteral("Erro! Arquivo grande demais");
const QString text_folder_too_big = QStringLiteral("Erro! Pasta grande demais para um pacote");
const QString info_changed = QStringLiteral("INFO: Já convertidos: %1");
const QString info_nothing_changed = QStringLiteral("INFO: Nenhum arquivo foi alterado");

// The rewrite adds a header of at most about twenty bytes; the update side must still accept the file.
constexpr qint64 header_room = 64;
constexpr qint64 largest_input = package_extraction::max_file_bytes - header_room;

} // namespace

zipwindow::zipwindow(QWidget* parent) : QWidget(parent), ui(new Ui_zipwindow)
{
    ui->setupUi(this);
}

zipwindow::~zipwindow()
{
    delete ui;
}

void zipwindow::clear_fields()
{
    ui->statusLineEdit->setText(QString());
    ui->infoLabel->setText(QString());
    ui->pathLineEdit->setText(QString());
}

void zipwindow::on_searchButton_clicked()
{
    // A cancelled dialog returns an empty text, which deliberately forgets the previous choice.
    folder_path = QFileDialog::getExistingDirectory(this, tr("Open Directory"), QStringLiteral("/home"),
                                                    QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    ui->pathLineEdit->setText(folder_path);
}

void zipwindow::on_convertButton_clicked()
{
    if (!rewrite_files())
        return;

    // Written beside the folder, not inside it, so the package never packs itself. Only the files
    // that were checked go in, and the package is never written through a link.
    const QString package_path = folder_path + package_suffix;
    const QFileInfo existing(package_path);
    const bool compressed = !existing.isSymLink() && (!existing.exists() || existing.isFile()) &&
                            JlCompress::compressFiles(package_path, rewritten_paths);
    ui->statusLineEdit->setText(compressed ? text_success : text_compress_failed);
    if (!compressed)
        show_changed(rewritten_paths);
}

char zipwindow::load_can_id(QString name_archive)
{
    return firmware_rules::board_identifier(name_archive);
}

void zipwindow::show_changed(const QStringList& paths)
{
    QStringList names;
    for (const QString& path : paths)
        names.append(QFileInfo(path).fileName());
    ui->infoLabel->setText(names.isEmpty() ? info_nothing_changed : info_changed.arg(names.join(QStringLiteral(", "))));
}

bool zipwindow::rewrite_files()
{
    rewritten_paths.clear();
    // An empty path would name the process's working directory, whose files the operator never chose.
    if (folder_path.isEmpty()) {
        ui->statusLineEdit->setText(text_no_folder);
        return false;
    }

    // System entries too: a FIFO or a device left out here would still be the operator's surprise.
    const QStringList names =
        QDir(folder_path)
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    if (names.isEmpty()) {
        ui->statusLineEdit->setText(text_empty_folder);
        return false;
    }

    // Every file is checked before any is rewritten, so a refusal leaves the folder as it was.
    qint64 total = 0;
    for (const QString& name : names) {
        const QString path = folder_path + QLatin1Char('/') + name;
        const QFileInfo info(path);
        QFile file(path);
        // Only a regular file is opened: a link may lead out of the folder, and a FIFO or a
        // device would block or never end.
        if (info.isSymLink() || !info.isFile() || !file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly)) {
            ui->statusLineEdit->setText(text_open_failed);
            return false;
        }
        total += info.size();
        if (info.size() > largest_input) {
            ui->statusLineEdit->setText(text_file_too_big);
            return false;
        }

        const firmware_rules::FirstByte first = firmware_rules::first_byte(file.read(1));
        if (first != firmware_rules::FirstByte::firmware) {
            ui->statusLineEdit->setText(first == firmware_rules::FirstByte::zero ? text_zero_first_byte
                                                                                 : text_invalid_first_byte);
            ui->infoLabel->setText(info_no_identifier);
            return false;
        }
        if (load_can_id(name) == firmware_rules::no_board) {
            ui->statusLineEdit->setText(text_bad_name);
            ui->infoLabel->setText(info_bad_name);
            return false;
        }
    }
    if (names.size() > package_extraction::max_entries || total > package_extraction::max_package_bytes) {
        ui->statusLineEdit->setText(text_folder_too_big);
        return false;
    }

    QStringList done;
    for (const QString& name : names) {
        const QString path = folder_path + QLatin1Char('/') + name;
        QFile file(path);
        const bool opened = !QFileInfo(path).isSymLink() && file.open(QIODevice::ReadOnly);
        const QByteArray input = opened ? file.read(largest_input + 1) : QByteArray();
        const bool read_whole = opened && input.size() == file.size() && input.size() <= largest_input &&
                                file.error() == QFileDevice::NoError;
        // Windows refuses to replace a file that is still open.
        file.close();
        if (!read_whole) {
            ui->statusLineEdit->setText(text_read_failed);
            show_changed(done);
            return false;
        }

        // The new content goes to a file beside the original and replaces it only once complete, so a full disk
        // or a failed write never leaves a firmware file half rewritten. Bytes are written as they are: a text
        // codec would alter anything above 0x7F.
        const QByteArray output = firmware_rules::rewritten(input, load_can_id(name));
        QSaveFile target(path);
        if (!target.open(QIODevice::WriteOnly) || target.write(output) != output.size() || !target.commit()) {
            ui->statusLineEdit->setText(text_write_failed);
            show_changed(done);
            return false;
        }
        done.append(path);
    }
    rewritten_paths = done;
    return true;
}
