#include "converter/zipwindow.h"

#include "rules/firmware_rules.h"
#include "rules/package_extraction.h"
#include "rules/package_signing.h"
#include "rules/package_trust.h"
#include "ui_zipwindow.h"

#include <JlCompress.h>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
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
const QString text_empty_folder = QStringLiteral("Erro! A pasta não tem arquivos");
const QString text_folder_too_big = QStringLiteral("Erro! Pasta grande demais para um pacote");
const QString info_changed = QStringLiteral("INFO: Já convertidos");
const QString info_nothing_changed = QStringLiteral("INFO: Nenhum arquivo foi alterado");
const QString text_not_signed = QStringLiteral("Erro! Pacote gerado sem assinatura");
const QString info_signed = QStringLiteral("INFO: Assinado pela chave %1");
const QString info_key_unusable = QStringLiteral("INFO: Chave de assinatura inutilizável (com senha?)");
const QString info_signature_not_written = QStringLiteral("INFO: Não foi possível gravar a assinatura");

struct RefusalText {
    firmware_rules::Refusal refusal;
    const char* status;
    const char* hint; // followed by the file's name; none when null
};

// clang-format off
const RefusalText refusal_texts[] = {
    {firmware_rules::Refusal::too_big,         "Erro! Arquivo grande demais",   nullptr},
    {firmware_rules::Refusal::first_byte_zero, "Erro! Arquivo Não Selecionado", "INFO: Identificador de arquivo não encontrado"},
    {firmware_rules::Refusal::not_firmware,    "Erro! Arquivo Inválido!",       "INFO: Identificador de arquivo não encontrado"},
    {firmware_rules::Refusal::no_board,        "Erro! Firmware fora do padrão", "INFO: Nomeclatura do Firmware Incorreta"},
    {firmware_rules::Refusal::nul_byte,        "Erro! Arquivo Inválido!",       "INFO: Arquivo com byte nulo"},
};
// clang-format on

// A read-only line edit shows the end of a text too long for it, which cuts "Erro!" off the front.
void show_start(QLineEdit* field, const QString& text)
{
    field->setText(text);
    field->setCursorPosition(0);
}

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
    show_hint(QString());
    ui->pathLineEdit->setText(QString());
}

void zipwindow::on_searchButton_clicked()
{
    // A cancelled dialog returns an empty text, which deliberately forgets the previous choice.
    folder_path = QFileDialog::getExistingDirectory(this, tr("Open Directory"), QStringLiteral("/home"),
                                                    QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    show_start(ui->pathLineEdit, folder_path);
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
    show_start(ui->statusLineEdit, compressed ? text_success : text_compress_failed);
    if (!compressed)
        show_changed(rewritten_paths);
    else
        sign_package(package_path);
}

void zipwindow::sign_package(const QString& package_path)
{
    const QString signature_path = package_path + QLatin1String(package_trust::signature_suffix);
    const QFileInfo old_signature(signature_path);
    // A signature left from an earlier package of this name no longer belongs to the new one.
    if (old_signature.isFile() && !old_signature.isSymLink())
        QFile::remove(signature_path);
    const QString key_path = package_signing::converter_key_path();
    if (!QFileInfo::exists(key_path))
        return;
    QString why;
    // No password can be asked here: an encrypted key fails to open, and the operator is told to sign by hand.
    const auto key = package_signing::load_key(
        key_path, [] { return QByteArray(); }, &why);
    const std::optional<QString> comment = key ? package_signing::sign_package(package_path, *key, &why) : std::nullopt;
    if (!comment) {
        show_start(ui->statusLineEdit, text_not_signed);
        show_hint(key ? info_signature_not_written : info_key_unusable,
                  QFileInfo(key ? signature_path : key_path).fileName());
        return;
    }
    show_hint(info_signed.arg(minisign_files::key_id_text(key->key_id)));
}

void zipwindow::show_hint(const QString& hint, const QString& names)
{
    const QString separator = QStringLiteral(": ");
    const QString whole = names.isEmpty() ? hint : hint + separator + names;
    ui->infoLabel->setToolTip(whole);
    const QFontMetrics metrics = ui->infoLabel->fontMetrics();
    const int width = ui->infoLabel->contentsRect().width();
    if (metrics.horizontalAdvance(whole) <= width) {
        ui->infoLabel->setText(whole);
        return;
    }
    // One line of fixed width, too narrow for most objections with a name even in a 9-point font. The name tells
    // which file to fix, so it keeps up to half the line, giving up its middle so that its start and extension stay;
    // the objection is cut at its end, and the tooltip holds the whole text.
    const QString tail =
        names.isEmpty() ? QString() : separator + metrics.elidedText(names, Qt::ElideMiddle, width / 2);
    ui->infoLabel->setText(metrics.elidedText(hint, Qt::ElideRight, width - metrics.horizontalAdvance(tail)) + tail);
}

void zipwindow::show_changed(const QStringList& paths)
{
    QStringList names;
    for (const QString& path : paths)
        names.append(QFileInfo(path).fileName());
    if (names.isEmpty())
        show_hint(info_nothing_changed);
    else
        show_hint(info_changed, names.join(QStringLiteral(", ")));
}

bool zipwindow::rewrite_files()
{
    rewritten_paths.clear();
    show_hint(QString());
    // An empty path would name the process's working directory, whose files the operator never chose.
    if (folder_path.isEmpty()) {
        show_start(ui->statusLineEdit, text_no_folder);
        return false;
    }

    // System entries too: a FIFO or a device left out here would still be the operator's surprise.
    const QStringList names =
        QDir(folder_path)
            .entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    if (names.isEmpty()) {
        show_start(ui->statusLineEdit, text_empty_folder);
        return false;
    }
    if (names.size() > package_extraction::max_entries) {
        show_start(ui->statusLineEdit, text_folder_too_big);
        return false;
    }

    // Every file is read and converted before any is rewritten, so a refusal leaves the folder as it was, and what
    // is written is exactly what was checked. The package bound keeps the converted files held here bounded too.
    qint64 total = 0;
    QList<QByteArray> outputs;
    for (const QString& name : names) {
        const QString path = folder_path + QLatin1Char('/') + name;
        const QFileInfo info(path);
        QFile file(path);
        // Only a regular file is opened: a link may lead out of the folder, and a FIFO or a
        // device would block or never end. It is opened for writing so that one that cannot be
        // replaced is found before anything changes.
        if (info.isSymLink() || !info.isFile() || !file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly)) {
            show_start(ui->statusLineEdit, text_open_failed);
            return false;
        }
        firmware_rules::Conversion conversion{firmware_rules::Refusal::too_big, {}};
        if (info.size() <= firmware_rules::largest_input) {
            const QByteArray input = file.read(firmware_rules::largest_input + 1);
            if (input.size() != file.size() || file.error() != QFileDevice::NoError) {
                show_start(ui->statusLineEdit, text_read_failed);
                return false;
            }
            total += input.size();
            conversion = firmware_rules::convert(name, input);
        }
        if (conversion.refusal != firmware_rules::Refusal::none) {
            for (const RefusalText& row : refusal_texts) {
                if (row.refusal == conversion.refusal) {
                    show_start(ui->statusLineEdit, QString::fromUtf8(row.status));
                    show_hint(QString::fromUtf8(row.hint), row.hint ? name : QString());
                }
            }
            return false;
        }
        if (total > package_extraction::max_package_bytes) {
            show_start(ui->statusLineEdit, text_folder_too_big);
            return false;
        }
        outputs.append(conversion.output);
    }

    QStringList done;
    for (int i = 0; i < names.size(); ++i) {
        // The new content goes to a file beside the original and replaces it only once complete, so a full disk
        // or a failed write never leaves a firmware file half rewritten. Bytes are written as they are: a text
        // codec would alter anything above 0x7F.
        const QString path = folder_path + QLatin1Char('/') + names.at(i);
        QSaveFile target(path);
        if (!target.open(QIODevice::WriteOnly) || target.write(outputs.at(i)) != outputs.at(i).size() ||
            !target.commit()) {
            show_start(ui->statusLineEdit, text_write_failed);
            show_changed(done);
            return false;
        }
        done.append(path);
    }
    rewritten_paths = done;
    return true;
}
