#include "app/mainwindow.h"
#include "widgets/form_fonts.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    form_fonts::install();
    MainWindow window;
    window.show();
    return application.exec();
}
