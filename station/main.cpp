#include "rules/package_extraction.h"
#include "station/station_window.h"
#include "widgets/form_fonts.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    // The window's folders: the same service logs, reports file, history and unpacking notes for every unit served.
    QCoreApplication::setApplicationName(QStringLiteral("vkt_update_tool"));
    package_extraction::remove_abandoned();
    form_fonts::install();
    StationWindow window;
    window.show();
    return application.exec();
}
