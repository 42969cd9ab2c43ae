#include "widgets/shortcut_over_fields.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QShortcut>
#include <QWidget>

ShortcutOverFields::ShortcutOverFields(QShortcut* shortcut) : QObject(shortcut), shortcut(shortcut)
{
    // On the application rather than on the fields: an editable combo box hands the claim to its
    // line edit by a direct call, which a filter on that line edit never sees.
    QCoreApplication::instance()->installEventFilter(this);
}

bool ShortcutOverFields::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::ShortcutOverride || !watched->isWidgetType() ||
        static_cast<QWidget*>(watched)->window() != shortcut->parentWidget()->window())
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    const int chord = key->key() | int(key->modifiers() & ~Qt::KeypadModifier);
    // Qt 5.15 asks the field before the first chord only; every chord is refused all the same, so
    // that a build which asks before each one cannot break the sequence halfway.
    const QKeySequence chords = shortcut->key();
    for (int i = 0; i < chords.count(); ++i) {
        if (chords[i] == chord) {
            // Refused, the claim goes on up to the window, which leaves it too; Qt then tries the
            // shortcuts.
            event->ignore();
            return true;
        }
    }
    return false;
}
