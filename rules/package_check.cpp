#include "rules/package_check.h"

#include "rules/firmware_rules.h"
#include "rules/package_extraction.h"
#include "rules/package_rules.h"

#include <QFile>

namespace package_check
{

namespace
{

constexpr char carriage_return = '\r';
constexpr int board_line = 1;

} // namespace

bool PackageCheck::sound() const
{
    if (!refusal.isNull())
        return false;
    for (const FileCheck& file : files) {
        if (!file.problems.isEmpty())
            return false;
    }
    return true;
}

QList<QByteArray> received_lines(const QByteArray& file)
{
    QList<QByteArray> lines;
    int start = 0;
    for (int end; (end = file.indexOf(carriage_return, start)) >= 0; start = end + 1)
        lines.append(file.mid(start, end + 1 - start));
    if (start < file.size())
        lines.append(file.mid(start));
    return lines;
}

namespace
{

PackageCheck check_unpacked(Extraction extraction)
{
    PackageCheck result;
    if (!extraction.refusal.isNull()) {
        result.refusal = extraction.refusal;
        return result;
    }
    QList<QString> order = extraction.files;
    package_rules::move_event_file_last(order);
    for (const QString& path : qAsConst(order)) {
        FileCheck file;
        file.name = package_rules::file_name(path);
        QFile in(path);
        if (!in.open(QIODevice::ReadOnly)) {
            file.problems << QStringLiteral("cannot be read: %1").arg(in.errorString());
            result.files.append(file);
            continue;
        }
        const QByteArray bytes = in.readAll();
        const QList<QByteArray> lines = received_lines(bytes);
        file.bytes = bytes.size();
        file.lines = lines.size();
        if (lines.size() > board_line && lines.at(board_line).size() == 2)
            file.board = lines.at(board_line).at(0);
        file.problems = firmware_rules::check_received(lines);
        result.files.append(file);
    }
    package_extraction::remove(extraction);
    return result;
}

} // namespace

PackageCheck check(const QString& package_path)
{
    return check_unpacked(package_extraction::extract(package_path));
}

PackageCheck check(const QString& package_path, const QByteArray& package)
{
    return check_unpacked(package_extraction::extract(package_path, package));
}

QString board_text(char board)
{
    return board ? QString(QLatin1Char(board)) : QStringLiteral("none");
}

} // namespace package_check
