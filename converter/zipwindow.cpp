#include "converter/zipwindow.h"

#include "converter/firmware_rules.h"
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

    // Written beside the folder, not inside it, so the package never packs itself.
    const QString package_path = folder_path + package_suffix;
    const bool compressed = JlCompress::compressDir(package_path, folder_path, true);
    ui->statusLineEdit->setText(compressed ? text_success : text_compress_failed);
}

char zipwindow::load_can_id(QString name_archive)
{
    return firmware_rules::board_identifier(name_archive);
}

bool zipwindow::rewrite_files()
{
    // An empty path would name the process's working directory, whose files the operator never chose.
    if (folder_path.isEmpty()) {
        ui->statusLineEdit->setText(text_no_folder);
        return false;
    }

    const QStringList names =
        QDir(folder_path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QString& name : names) {
        const QString path = folder_path + QLatin1Char('/') + name;

        // Some platforms let QFile open a directory, and a subfolder is never a firmware file.
        QFile file(path);
        if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadWrite)) {
            ui->statusLineEdit->setText(text_open_failed);
            return false;
        }
        const QByteArray input = file.readAll();
        const bool read_whole = input.size() == file.size() && file.error() == QFileDevice::NoError;
        // Windows refuses to replace a file that is still open.
        file.close();
        if (!read_whole) {
            ui->statusLineEdit->setText(text_read_failed);
            return false;
        }

        const firmware_rules::FirstByte first = firmware_rules::first_byte(input);
        if (first != firmware_rules::FirstByte::firmware) {
            ui->statusLineEdit->setText(first == firmware_rules::FirstByte::zero ? text_zero_first_byte
                                                                                 : text_invalid_first_byte);
            ui->infoLabel->setText(info_no_identifier);
            return false;
        }

        const char board = load_can_id(name);
        if (board == firmware_rules::no_board) {
            ui->statusLineEdit->setText(text_bad_name);
            ui->infoLabel->setText(info_bad_name);
            return false;
        }

        // The new content goes to a file beside the original and replaces it only once complete, so a full disk
        // or a failed write never leaves a firmware file half rewritten. Bytes are written as they are: a text
        // codec would alter anything above 0x7F.
        const QByteArray output = firmware_rules::rewritten(input, board);
        QSaveFile target(path);
        if (!target.open(QIODevice::WriteOnly) || target.write(output) != output.size() || !target.commit()) {
            ui->statusLineEdit->setText(text_write_failed);
            return false;
        }
    }
    return true;
}
