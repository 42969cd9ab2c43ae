#include "widgets/form_fonts.h"

#include <QFont>
#include <QFontDatabase>
#include <QtGlobal>

void form_fonts::install()
{
    // Without it a Linux desktop draws "Arial Black" in its default sans at the weight the style
    // sheets ask for (their "87" reads as 87 / 8, a hairline): wider and taller than the forms
    // allow, which cut the dialog's first warning. Lato Black (OFL, Debian's fonts-lato) is as
    // heavy and narrower, and its file names a family of that one face, so whatever weight a form
    // asks for, the heavy face is drawn. A substitute only counts where the family itself is
    // missing: Windows keeps its own.
    if (QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/Lato-Black.ttf")) < 0) {
        qWarning("the bundled heading font could not be loaded");
        return;
    }
    QFont::insertSubstitution(QStringLiteral("Arial Black"), QStringLiteral("Lato Black"));
}
