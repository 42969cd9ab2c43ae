#include "support/window_under_test.h"

#include "app/mainwindow.h"
#include "converter/zipwindow.h"
#include "equipment/equipment_simulator.h"
#include "support/dialog_answer.h"
#include "widgets/popup.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

WindowUnderTest::WindowUnderTest()
{
    const QWidgetList before = QApplication::topLevelWidgets();
    window = new MainWindow;
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (before.contains(top))
            continue;
        if (auto* found = qobject_cast<PopUp*>(top))
            popup = found;
        else if (auto* found = qobject_cast<zipwindow*>(top))
            converter = found;
    }
    if (!popup || !converter)
        qFatal("the main window created no warning dialog or converter");
}

WindowUnderTest::~WindowUnderTest()
{
    delete window;
    delete popup;
    delete converter;
}

QWidget* WindowUnderTest::widget(const char* name) const
{
    auto* found = window->findChild<QWidget*>(QLatin1String(name));
    if (!found)
        qFatal("no widget %s", name);
    return found;
}

QString WindowUnderTest::text(const char* name) const
{
    return widget(name)->property("text").toString();
}

bool WindowUnderTest::connect_to(const QString& port_path)
{
    auto* ports = widget<QComboBox>("boxPort");
    // Typed, as a technician picks the simulated equipment the system does not list.
    ports->setEditText(port_path);
    auto* button = widget<QPushButton>("connectButton");
    button->click();
    return button->text() == QLatin1String("DESCONECTAR");
}

bool WindowUnderTest::choose_package(const QString& path)
{
    // selectFile() leaves the name field alone while it has the keyboard focus, and the focus may reach it after the
    // answer cleared it: keep it out of the dialog.
    const auto focus_guard = QObject::connect(qApp, &QApplication::focusChanged, qApp, [](QWidget*, QWidget* now) {
        if (now && qobject_cast<QFileDialog*>(now->window()))
            now->clearFocus();
    });
    dialog_answer::answer_next_file_dialog(path);
    widget<QPushButton>("Search_archive")->click();
    QObject::disconnect(focus_guard);
    return text("fileLineEdit") == path;
}

bool WindowUnderTest::start_run(EquipmentSimulator& equipment, const QString& package,
                                const std::function<void()>& before_consent)
{
    window->show();
    if (!equipment.open_pty() || !connect_to(equipment.port_path()) || !choose_package(package) || !popup->isVisible())
        return false;
    if (before_consent)
        before_consent();
    popup->findChild<QPushButton*>("initButton")->click();
    return true;
}

bootloader_protocol::Waits short_waits()
{
    bootloader_protocol::Waits waits;
    waits.baud_guard_ms = waits.reply_ms = waits.link_retry_bound_ms = 200;
    waits.event_port_pause_ms = 300;
    waits.confirm_pause_ms = 100;
    waits.silence_bound_ms = 800;
    return waits;
}

bool run_until(const std::function<bool()>& done, int timeout_ms)
{
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    if (done())
        return true;
    check.start(1);
    QTimer::singleShot(timeout_ms, &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

void run_for(int ms)
{
    run_until([] { return false; }, ms);
}

bool write_file(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray read_file(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList names_in(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

QString sqlite3(const QString& database, const QString& statement)
{
    QProcess sqlite;
    sqlite.start(QStringLiteral("sqlite3"), {QStringLiteral("-batch"), database, statement});
    sqlite.waitForFinished();
    return QString::fromUtf8(sqlite.readAllStandardOutput() + sqlite.readAllStandardError()).trimmed();
}
