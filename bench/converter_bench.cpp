// Times the package converter on about 16 MB of firmware text against a plain copy of the same bytes, and the
// opening of a 100-file package, as an update unpacks it (checked, bounded, each file created new), against the
// command-line unzip. Usage: converter_bench [work folder]
// (default: the system's temporary folder; give a folder on the disk you want measured).

#include "converter/zipwindow.h"
#include "rules/package_extraction.h"

#include <JlCompress.h>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace
{

// Enough runs for a stable median without making the bench slow.
constexpr int runs = 5;

// About the size of a full set of board images for one equipment.
constexpr qint64 converter_input_bytes = 16 * 1024 * 1024;

// The size of a package's file set at which opening time is measured.
constexpr int package_file_count = 100;

// Data bytes per S2 record, as common linkers emit them.
constexpr int record_data_bytes = 32;

const char* const board_words[] = {"GRID", "LOAD", "MAIN", "PV", "BAT", "EVENT", "CAN", "TFT"};

// S2 records (24-bit address) with valid checksums, ended by CR LF, between a header and an end record.
QByteArray srecord_text(qint64 target_bytes, quint32 seed)
{
    QByteArray text("S00F000068656C6C6F202020200000003C\r\n");
    quint32 state = seed * 2654435761u + 1;
    quint32 address = 0;
    while (text.size() < target_bytes) {
        QByteArray record(4 + record_data_bytes + 1, 0);
        record[0] = char(record_data_bytes + 4);
        record[1] = char(address >> 16);
        record[2] = char(address >> 8);
        record[3] = char(address);
        for (int i = 0; i < record_data_bytes; ++i) {
            state = state * 1664525u + 1013904223u;
            record[4 + i] = char(state >> 24);
        }
        quint8 sum = 0;
        for (int i = 0; i < record.size() - 1; ++i)
            sum += quint8(record[i]);
        record[record.size() - 1] = char(~sum);
        text += "S2" + record.toHex().toUpper() + "\r\n";
        address += record_data_bytes;
    }
    text += "S804000000FB\r\n";
    return text;
}

// Writes files named with board words whose sizes add up to about total_bytes; returns the bytes written.
qint64 make_firmware_folder(const QString& folder, int file_count, qint64 total_bytes)
{
    QDir().mkpath(folder);
    qint64 written = 0;
    for (int i = 0; i < file_count; ++i) {
        const QString name = QStringLiteral("%1_%2_fw.s19")
                                 .arg(QLatin1String(board_words[i % std::size(board_words)]))
                                 .arg(i, 3, 10, QLatin1Char('0'));
        QFile file(folder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(file.fileName()));
        written += file.write(srecord_text(total_bytes / file_count, quint32(i)));
    }
    return written;
}

double median_ms(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

// Runs prepare (untimed) then work (timed) several times; returns the median in milliseconds.
double time_ms(const std::function<void(int)>& prepare, const std::function<void(int)>& work)
{
    std::vector<double> samples;
    for (int run = 0; run < runs; ++run) {
        prepare(run);
        QElapsedTimer timer;
        timer.start();
        work(run);
        samples.push_back(timer.nsecsElapsed() / 1e6);
    }
    return median_ms(samples);
}

// The converter can only be pointed at a folder through its folder dialog, so the bench answers it.
void choose_folder(zipwindow& window, const QString& folder)
{
    QTimer timer;
    timer.setInterval(5);
    QObject::connect(&timer, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        timer.stop();
        dialog->setDirectory(folder);
        dialog->selectFile(QString());
        static_cast<QDialog*>(dialog)->accept();
    });
    timer.start();
    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("searchButton")), Qt::LeftButton);
}

double mb_per_s(qint64 bytes, double ms)
{
    return bytes / (1024.0 * 1024.0) / (ms / 1000.0);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    const QString base = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::tempPath();
    QTemporaryDir work(base + QStringLiteral("/converter_bench-XXXXXX"));
    if (!work.isValid())
        qFatal("cannot create a work folder in %s", qPrintable(base));
    const QString source = work.filePath(QStringLiteral("source"));
    const qint64 input_bytes = make_firmware_folder(source, int(std::size(board_words)), converter_input_bytes);
    const QStringList source_files = QDir(source).entryList(QDir::Files);

    std::printf("work folder: %s\n", qPrintable(work.path()));
    std::printf("median of %d runs\n\n", runs);
    std::printf("converter input: %d files, %.1f MB of S-record text (CR LF)\n", int(source_files.size()),
                input_bytes / (1024.0 * 1024.0));

    // Each run needs untouched files: the conversion is one-way.
    auto fresh_copy = [&](const QString& target) {
        QDir(target).removeRecursively();
        QFile::remove(target + QStringLiteral(".vkt"));
        QDir().mkpath(target);
        for (const QString& name : source_files)
            QFile::copy(source + QLatin1Char('/') + name, target + QLatin1Char('/') + name);
    };
    auto run_folder = [&](int run) { return work.filePath(QStringLiteral("PACOTE%1").arg(run)); };

    const double copy_ms =
        time_ms([&](int run) { QDir(run_folder(run)).removeRecursively(); },
                [&](int run) {
                    QDir().mkpath(run_folder(run));
                    for (const QString& name : source_files)
                        QFile::copy(source + QLatin1Char('/') + name, run_folder(run) + QLatin1Char('/') + name);
                });

    zipwindow window;
    window.show();
    auto* convert_button = window.findChild<QPushButton*>(QStringLiteral("convertButton"));
    auto* status = window.findChild<QLineEdit*>(QStringLiteral("statusLineEdit"));
    const double convert_ms = time_ms(
        [&](int run) {
            fresh_copy(run_folder(run));
            choose_folder(window, run_folder(run));
        },
        [&](int) { QTest::mouseClick(convert_button, Qt::LeftButton); });
    if (status->text() != QStringLiteral("Arquivo gerado com sucesso!"))
        qFatal("conversion failed: %s", qPrintable(status->text()));
    const qint64 package_bytes = QFileInfo(run_folder(0) + QStringLiteral(".vkt")).size();

    // The two stages apart: rewriting alone (compression of an empty folder is negligible) and compression alone.
    const double compress_ms = time_ms(
        [&](int run) { QFile::remove(run_folder(run) + QStringLiteral(".vkt")); },
        [&](int run) { JlCompress::compressDir(run_folder(run) + QStringLiteral(".vkt"), run_folder(run), true); });

    std::printf("  plain copy            %8.1f ms  %7.1f MB/s\n", copy_ms, mb_per_s(input_bytes, copy_ms));
    std::printf("  converter (whole)     %8.1f ms  %7.1f MB/s  %6.1f x copy\n", convert_ms,
                mb_per_s(input_bytes, convert_ms), convert_ms / copy_ms);
    std::printf("    of which compress   %8.1f ms  %7.1f MB/s  %6.1f x copy\n", compress_ms,
                mb_per_s(input_bytes, compress_ms), compress_ms / copy_ms);
    std::printf("    rewrite (rest)      %8.1f ms  %7.1f MB/s  %6.1f x copy\n", convert_ms - compress_ms,
                mb_per_s(input_bytes, convert_ms - compress_ms), (convert_ms - compress_ms) / copy_ms);
    std::printf("  package: %.1f MB (%.0f %% of input)\n\n", package_bytes / (1024.0 * 1024.0),
                100.0 * package_bytes / input_bytes);

    const QString unzip = QStandardPaths::findExecutable(QStringLiteral("unzip"));
    const QString many = work.filePath(QStringLiteral("MUITOS"));
    const qint64 many_bytes = make_firmware_folder(many, package_file_count, converter_input_bytes);
    // In a folder of its own, so that the update unpacks beside it, on the same disk as unzip does.
    QDir().mkpath(work.filePath(QStringLiteral("opened")));
    const QString package = work.filePath(QStringLiteral("opened/MUITOS.vkt"));
    if (!JlCompress::compressDir(package, many, true))
        qFatal("cannot build the %d-file package", package_file_count);
    auto extract_folder = [&](const char* tool, int run) {
        return work.filePath(QStringLiteral("%1_%2").arg(QLatin1String(tool)).arg(run));
    };
    std::printf("package opening: %d files, %.1f MB unpacked, %.1f MB packed\n", package_file_count,
                many_bytes / (1024.0 * 1024.0), QFileInfo(package).size() / (1024.0 * 1024.0));

    Extraction opened;
    const double extract_ms = time_ms([&](int) { package_extraction::remove(opened); },
                                      [&](int) {
                                          opened = package_extraction::extract(package);
                                          if (opened.files.size() != package_file_count)
                                              qFatal("the update's unpacking failed: %s", qPrintable(opened.refusal));
                                      });
    package_extraction::remove(opened);
    std::printf("  update's unpacking     %7.1f ms\n", extract_ms);
    if (unzip.isEmpty()) {
        std::printf("  unzip: not installed\n");
        return 0;
    }
    const double unzip_ms =
        time_ms([&](int run) { QDir(extract_folder("unzip", run)).removeRecursively(); },
                [&](int run) {
                    const int code = QProcess::execute(
                        unzip, {QStringLiteral("-q"), package, QStringLiteral("-d"), extract_folder("unzip", run)});
                    if (code != 0)
                        qFatal("unzip failed");
                });
    std::printf("  unzip -q               %7.1f ms\n", unzip_ms);
    std::printf("  ratio update's unpacking / unzip: %.2f\n", extract_ms / unzip_ms);
    return 0;
}
