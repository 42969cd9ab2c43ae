// Arbitrary bytes, cut anywhere, through the engine's real dispatcher at a stage of a run, timers running between
// deliveries: nothing may crash or leak, and abandoning the run leaves none of its files.
#include "engine/update_engine.h"
#include "link/serial.h"
#include "rules/firmware_rules.h"

#include <JlCompress.h>
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <pty.h>
#include <unistd.h>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir work;
    static const QString package = work.filePath(QStringLiteral("Linha#1.vkt"));
    static int equipment = -1;
    static char port[256] = {};
    if (equipment < 0) {
        // Two boards, the event board last, packed once; the raw files go, so that only the package stays.
        QStringList files;
        for (const auto& [name, board] : {std::pair{"MAIN_1.s", 'C'}, std::pair{"EVENT_2.s", 'F'}}) {
            files << work.filePath(QLatin1String(name));
            QFile file(files.last());
            const QByteArray raw = QByteArray("S1030000FC\r\n").repeated(board == 'C' ? 6 : 2);
            if (!file.open(QIODevice::WriteOnly) || file.write(firmware_rules::rewritten(raw, board)) < 0)
                __builtin_trap();
        }
        int line = -1;
        if (!JlCompress::compressFiles(package, files) || !QFile::remove(files[0]) || !QFile::remove(files[1]) ||
            openpty(&equipment, &line, port, nullptr, nullptr) != 0)
            __builtin_trap();
        fcntl(equipment, F_SETFL, fcntl(equipment, F_GETFL) | O_NONBLOCK);
    }

    FuzzedDataProvider provider(data, size);
    const int stage = provider.ConsumeIntegralInRange<int>(0, 4);
    const bool uart = provider.ConsumeBool();
    bootloader_protocol::Waits waits;
    waits.baud_guard_ms = waits.reply_ms = waits.link_retry_bound_ms = waits.silence_bound_ms = 5;
    waits.reset_settle_ms = waits.reopen_retry_ms = waits.event_port_pause_ms = waits.confirm_pause_ms = 0;
    {
        UpdateEngine engine{QString()};
        engine.set_waits(waits);
        auto* link = engine.findChild<Serial*>();
        engine.open_port(QString::fromLocal8Bit(port));
        if (stage >= 1)
            engine.open_package(package);
        if (stage >= 2)
            engine.start();
        if (stage >= 3)
            emit link->received(uart ? "#B_UAR" : "#B_USB");
        if (stage >= 4)
            emit link->received("#B_MAX");
        while (provider.remaining_bytes() > 0) {
            const std::string bytes = provider.ConsumeBytesAsString(provider.ConsumeIntegralInRange<size_t>(1, 16));
            emit link->received(QByteArray(bytes.data(), static_cast<int>(bytes.size())));
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
