#include "app/mainwindow.h"
#include "rules/package_extraction.h"
#include "widgets/form_fonts.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    package_extraction::remove_abandoned();
    form_fonts::install();
    MainWindow window;
    window.show();
    return application.exec();
}
