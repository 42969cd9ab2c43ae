#include "rules/process_identity.h"

#include <QCoreApplication>
#include <QFile>
#include <QSysInfo>

namespace
{

QByteArray read_proc(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

// Field 22 of /proc/PID/stat, the start time in clock ticks since boot; the command's name before it is in parentheses
// and may hold blanks, so fields are counted from the last ')'.
QString start_of(qint64 pid)
{
    const QByteArray stat = read_proc(QStringLiteral("/proc/%1/stat").arg(pid));
    const int name_end = stat.lastIndexOf(')');
    if (name_end < 0)
        return QString();
    const QList<QByteArray> fields = stat.mid(name_end + 2).split(' ');
    constexpr int start_field_after_name = 22 - 3;
    return fields.size() > start_field_after_name ? QString::fromLatin1(fields.at(start_field_after_name)) : QString();
}

QString boot_id()
{
    return QString::fromLatin1(read_proc(QStringLiteral("/proc/sys/kernel/random/boot_id")));
}

} // namespace

ProcessIdentity ProcessIdentity::current()
{
    const qint64 pid = QCoreApplication::applicationPid();
    return {QSysInfo::machineHostName(), boot_id(), pid, start_of(pid)};
}

ProcessIdentity::State ProcessIdentity::state() const
{
    const ProcessIdentity here = current();
    if (host != here.host || boot.isEmpty() || here.boot.isEmpty())
        return State::unknown;
    if (boot != here.boot)
        return State::ended;
    const QString now_started = start_of(pid);
    return !now_started.isEmpty() && now_started == started ? State::running : State::ended;
}
