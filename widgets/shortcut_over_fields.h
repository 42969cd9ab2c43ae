#ifndef SHORTCUT_OVER_FIELDS_H
#define SHORTCUT_OVER_FIELDS_H

#include <QObject>

class QShortcut;

// Lets a shortcut of several chords start whatever widget of its window has the focus. A text
// field claims some chords before any shortcut sees them (a line edit takes Ctrl+V as paste and
// Ctrl+K as delete to end), so while one has the focus such a shortcut never starts. This refuses
// those claims, in the shortcut's window only: the first chord then starts the shortcut rather
// than the field's action (Ctrl+V no longer pastes there; the field's context menu still does),
// while a later chord pressed on its own matches no shortcut and still reaches the field.
class ShortcutOverFields : public QObject
{
public:
    // Owned by the shortcut.
    explicit ShortcutOverFields(QShortcut* shortcut);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QShortcut* shortcut;
};

#endif // SHORTCUT_OVER_FIELDS_H
