#include "x_keyboard.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QProcess>
#include <QWidget>
#include <QtTest>

XKeyboard::XKeyboard()
{
    QCoreApplication::instance()->installEventFilter(this);
}

bool XKeyboard::activate(QWidget* window)
{
    window->activateWindow();
    QByteArray focus;
    return QTest::qWaitForWindowActive(window) && xdotool({"getwindowfocus"}, &focus) &&
           focus.trimmed().toULongLong() == window->winId();
}

bool XKeyboard::eventFilter(QObject*, QEvent* event)
{
    releases += event->type() == QEvent::KeyRelease && !static_cast<QKeyEvent*>(event)->isAutoRepeat();
    return false;
}

bool XKeyboard::xdotool(const QStringList& args, QByteArray* out)
{
    QProcess process;
    process.start(QStringLiteral("xdotool"), args);
    const bool done =
        process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (out)
        *out = process.readAllStandardOutput();
    return done;
}

bool XKeyboard::send(const QStringList& args, int keys)
{
    releases = 0;
    return xdotool(args) && QTest::qWaitFor([&] { return releases >= keys; }, 2000);
}
