// The equipment's messages through the engine's real dispatcher: a run is brought to a stage
// (port open, package opened, started, announced on either link, sending), then arbitrary bytes
// arrive as the link hands them on, cut at arbitrary points, with the protocol's timers running
// between deliveries. Nothing may crash or leak, and abandoning the run leaves none of its files.
#include "engine/update_engine.h"
#include "link/serial.h"
#include "rules/firmware_rules.h"

#include <JlCompress.h>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <pty.h>
#include <unistd.h>

namespace
{

constexpr int stages = 5;

bool write(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray firmware(char board, int records)
{
    QByteArray raw;
    for (int i = 0; i < records; ++i)
        raw += "S10" + QByteArray::number(i) + "AABBCCDD\r\n";
    return firmware_rules::rewritten(raw, board);
}

// A package of two boards, the event board last, kept as bytes: each run removes what it unpacked.
QByteArray package_bytes()
{
    QTemporaryDir build;
    const QStringList files{build.filePath(QStringLiteral("MAIN_1.s")), build.filePath(QStringLiteral("EVENT_2.s"))};
    const QString zip = build.filePath(QStringLiteral("p.vkt"));
    QFile packed(zip);
    if (!write(files[0], firmware('C', 6)) || !write(files[1], firmware('F', 2)) ||
        !JlCompress::compressFiles(zip, files) || !packed.open(QIODevice::ReadOnly))
        return QByteArray();
    return packed.readAll();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir work;
    static int equipment = -1;
    static QString port;
    static const QByteArray package = package_bytes();
    if (port.isEmpty()) {
        int line = -1;
        char name[256] = {};
        if (package.isEmpty() || openpty(&equipment, &line, name, nullptr, nullptr) != 0)
            __builtin_trap();
        fcntl(equipment, F_SETFL, fcntl(equipment, F_GETFL) | O_NONBLOCK);
        port = QString::fromLocal8Bit(name);
    }
    const QString package_path = work.filePath(QStringLiteral("Linha#1.vkt"));
    if (!write(package_path, package))
        __builtin_trap();

    FuzzedDataProvider provider(data, size);
    const int stage = provider.ConsumeIntegralInRange<int>(0, stages - 1);
    const bool uart = provider.ConsumeBool();
    bootloader_protocol::Waits waits;
    waits.baud_guard_ms = waits.reply_ms = waits.link_retry_bound_ms = waits.silence_bound_ms = 5;
    waits.reset_settle_ms = waits.reopen_retry_ms = waits.event_port_pause_ms = waits.confirm_pause_ms = 0;
    {
        UpdateEngine engine{QString()};
        engine.set_waits(waits);
        auto* link = engine.findChild<Serial*>();
        if (!link)
            __builtin_trap();
        engine.open_port(port);
        if (stage >= 1)
            engine.open_package(package_path);
        if (stage >= 2)
            engine.start();
        if (stage >= 3)
            emit link->buffer(uart ? "#B_UAR" : "#B_USB");
        if (stage >= 4)
            emit link->buffer("#B_MAX");
        while (provider.remaining_bytes() > 0) {
            const std::string bytes = provider.ConsumeBytesAsString(provider.ConsumeIntegralInRange<size_t>(1, 16));
            emit link->buffer(QByteArray(bytes.data(), static_cast<int>(bytes.size())));
            QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        engine.abandon();
    }
    // What the engine wrote is read away, as the equipment would, so the line never fills up.
    char drain[4096];
    while (read(equipment, drain, sizeof drain) > 0) {
    }
    // The run's unpacking is gone; only the package stays.
    if (QDir(work.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot) !=
        QStringList{QStringLiteral("Linha#1.vkt")})
        __builtin_trap();
    return 0;
}
