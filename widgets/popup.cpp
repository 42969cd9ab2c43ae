#include "widgets/popup.h"

#include "rules/board_name.h"
#include "ui_popup.h"

#include <QFontMetrics>

PopUp::PopUp(QWidget* parent) : QWidget(parent), ui(new Ui::PopUp)
{
    ui->setupUi(this);
}

PopUp::~PopUp()
{
    delete ui;
}

void PopUp::show_board(QString text)
{
    ui->boardLabel->setText(board_name::equipment_name(text));
}

void PopUp::show_signer(const QString& comment)
{
    const QString text = comment.isEmpty() ? QString() : QStringLiteral("Assinado: ") + comment;
    // The form has room for one short line between the warnings and the button, so a long comment is cut there.
    ui->signerLabel->setToolTip(text);
    ui->signerLabel->setText(
        ui->signerLabel->fontMetrics().elidedText(text, Qt::ElideRight, ui->signerLabel->contentsRect().width()));
}

void PopUp::set_init_enabled(bool enabled)
{
    ui->initButton->setEnabled(enabled);
}

void PopUp::on_initButton_clicked()
{
    // Disabled before anything else, so a second press cannot start a second run.
    ui->initButton->setEnabled(false);
    started = true;
    emit init(1);
}
