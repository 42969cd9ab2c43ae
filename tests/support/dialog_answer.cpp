#include "support/dialog_answer.h"

#include <QApplication>
#include <QFileDialog>
#include <QTimer>

namespace dialog_answer
{

namespace
{

void answer_when_shown(const QString& path, int tries_left)
{
    QTimer::singleShot(10, [path, tries_left] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog) {
            if (tries_left > 0)
                answer_when_shown(path, tries_left - 1);
            return;
        }
        if (path.isNull()) {
            dialog->reject();
            return;
        }
        if (dialog->fileMode() == QFileDialog::Directory || dialog->testOption(QFileDialog::ShowDirsOnly)) {
            // A folder dialog answers with its current directory when nothing is selected in it.
            dialog->setDirectory(path);
            dialog->selectFile(QString());
            static_cast<QDialog*>(dialog)->accept();
            return;
        }
        // The name field ignores selectFile() while it has the keyboard focus.
        if (QWidget* focused = dialog->focusWidget())
            focused->clearFocus();
        // done() skips the overwrite question a save dialog would ask about an existing package.
        dialog->selectFile(path);
        static_cast<QDialog*>(dialog)->done(QDialog::Accepted);
    });
}

} // namespace

void answer_next_file_dialog(const QString& path)
{
    answer_when_shown(path, 500);
}

} // namespace dialog_answer
