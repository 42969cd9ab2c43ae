#include "rules/package_rules.h"

#include <QCryptographicHash>
#include <QFile>

namespace package_rules
{

namespace
{
// Packages reach 128 MB: hashed a block at a time, never held whole.
constexpr qint64 hash_block_bytes = 64 * 1024;
} // namespace

bool is_package_name(const QString& path)
{
    return path.contains(QLatin1String(".vkt"), Qt::CaseSensitive);
}

QString file_name(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString extraction_folder(const QString& package_path)
{
    const int slash = package_path.lastIndexOf(QLatin1Char('/'));
    const QString directory = package_path.left(slash + 1);
    return directory + file_name(package_path).section(QLatin1Char('.'), 0, 0);
}

QString counter_text(int loaded, int total)
{
    return QStringLiteral(" (%1 / %2)").arg(loaded).arg(total);
}

bool is_event_file(const QString& path)
{
    return file_name(path).contains(QLatin1String("event"), Qt::CaseInsensitive);
}

void move_event_file_last(QList<QString>& files)
{
    for (int i = 0; i < files.size(); ++i) {
        if (is_event_file(files.at(i))) {
            files.append(files.takeAt(i));
            return;
        }
    }
}

QByteArray sha256_hex(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray block(static_cast<int>(hash_block_bytes), Qt::Uninitialized);
    for (;;) {
        const qint64 got = file.read(block.data(), hash_block_bytes);
        if (got < 0)
            return QByteArray();
        if (got == 0)
            break;
        hash.addData(block.constData(), static_cast<int>(got));
    }
    return hash.result().toHex();
}

QByteArray bytes_sha256_hex(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

} // namespace package_rules
