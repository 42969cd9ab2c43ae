#ifndef DIALOG_ANSWER_H
#define DIALOG_ANSWER_H

#include <QString>

// Answers the next modal file or folder dialog from the event loop: the given path is chosen, or the dialog is
// cancelled when the path is null.
namespace dialog_answer
{

void answer_next_file_dialog(const QString& path);

} // namespace dialog_answer

#endif // DIALOG_ANSWER_H
