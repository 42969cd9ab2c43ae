#ifndef WINDOW_UNDER_TEST_H
#define WINDOW_UNDER_TEST_H

#include "rules/bootloader_protocol.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

class EquipmentSimulator;
class MainWindow;
class PopUp;
class QWidget;
class zipwindow;

// A MainWindow with the warning dialog and converter it created; the window never deletes those two, so this does, or
// every test would leave its own pair among the top-level widgets.
class WindowUnderTest
{
public:
    WindowUnderTest();
    ~WindowUnderTest();
    WindowUnderTest(const WindowUnderTest&) = delete;
    WindowUnderTest& operator=(const WindowUnderTest&) = delete;

    // Aborts the run when the form has no such widget: every later check would be meaningless.
    QWidget* widget(const char* name) const;
    template <typename T> T* widget(const char* name) const { return static_cast<T*>(widget(name)); }
    QString text(const char* name) const;

    // Picks the pseudo-terminal's port and presses the connect button; true when connected.
    bool connect_to(const QString& port_path);
    // Presses "PROCURAR" and answers the file dialog with the path (null cancels); true when the window shows it.
    bool choose_package(const QString& path);
    // Shows the window, connects to the equipment, opens the package and consents; true once the run is under way.
    // `before_consent` runs while the warning waits for the operator.
    bool start_run(EquipmentSimulator& equipment, const QString& package,
                   const std::function<void()>& before_consent = {});

    MainWindow* window = nullptr;
    PopUp* popup = nullptr;
    zipwindow* converter = nullptr;
};

// The protocol's waits, shortened so that a run takes a fraction of a second; what happens during each stays the same.
bootloader_protocol::Waits short_waits();

// Runs the event loop as the program does, until done() holds or the time is up; false then. QTest's own waits sleep 10
// ms between passes, which would starve a transfer paced at 3 ms.
bool run_until(const std::function<bool()>& done, int timeout_ms);
void run_for(int ms);

bool write_file(const QString& path, const QByteArray& bytes);
// Empty when the file cannot be read.
QByteArray read_file(const QString& path);
// Every entry of the folder, hidden ones included, sorted by name.
QStringList names_in(const QString& folder);
// What Debian's sqlite3 prints for the statement, its errors included: it reads a database as any other program
// would, not through the code under test.
QString sqlite3(const QString& database, const QString& statement);

#endif // WINDOW_UNDER_TEST_H
