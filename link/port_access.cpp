#include "link/port_access.h"

#include <QFileInfo>

namespace
{

const char* const busy_notice = "Outro dispositivo já está conectado a esta porta COM";
// Group membership is read at log-in, so the fix needs a new session as well.
const char* const group_notice = "Sem permissão na porta: inclua o usuário no grupo %1 e entre de novo na sessão";
const char* const unnamed_group = "dono do dispositivo";
// A typed name that names nothing, or something that is no serial port.
const char* const not_found_notice = "Porta não encontrada ou não pôde ser aberta";

} // namespace

port_access::Device port_access::inspect(const QString& port_name)
{
#ifdef Q_OS_UNIX
    // The serial module looks a bare name up under /dev, as here. QFileInfo asks the system with
    // this user's own ids, the way opening the device does.
    const QFileInfo file(port_name.startsWith(QLatin1Char('/')) ? port_name : QStringLiteral("/dev/") + port_name);
    return {file.exists() && !(file.isReadable() && file.isWritable()), file.group(), file.exists()};
#else
    // A Windows port name is no file to look at, and there the refusal means another program
    // holds the port.
    Q_UNUSED(port_name)
    return {};
#endif
}

QString port_access::refusal_notice(const Device& device, bool refused)
{
    if (!device.exists || (!device.denied && !refused))
        return QString::fromUtf8(not_found_notice);
    if (!device.denied)
        return QString::fromUtf8(busy_notice);
    return QString::fromUtf8(group_notice)
        .arg(device.group.isEmpty() ? QString::fromUtf8(unnamed_group) : device.group);
}
