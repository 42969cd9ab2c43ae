#include "rules/package_extraction.h"

#include "rules/package_rules.h"
#include "rules/process_identity.h"

#include <quazip.h>
#include <quazipfile.h>
#include <quazipfileinfo.h>

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStandardPaths>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QTemporaryFile>

namespace package_extraction
{

namespace
{

const char* const damaged_text = "Erro! Pacote vazio ou danificado";
// Our converter never stores a link; a package holding one was altered or made elsewhere, and the
// operator should ask for a fresh copy rather than get part of it.
const char* const link_text = "Erro! Pacote com link simbólico";
const char* const unsafe_name_text = "Erro! Pacote com nome de arquivo inválido";
// Which of two files of the same name the maker meant cannot be told.
const char* const repeated_name_text = "Erro! Pacote com arquivos repetidos";
const char* const too_many_text = "Erro! Pacote com arquivos demais";
const char* const too_big_text = "Erro! Pacote grande demais";
const char* const no_room_text = "Erro! Sem espaço no disco para abrir o pacote";

constexpr quint32 unix_type_mask = 0170000;
constexpr quint32 unix_link_type = 0120000;
constexpr qint64 copy_block_bytes = 64 * 1024;
constexpr ushort first_printable = 0x20;

QString text(const char* refusal)
{
    return QString::fromUtf8(refusal);
}

// A ZIP made on Unix keeps the file type in the high half of the external attributes. The library's own test reads
// the same bits; asking it as well added nothing.
bool is_link(const QuaZipFileInfo64& info)
{
    return ((info.externalAttr >> 16) & unix_type_mask) == unix_link_type;
}

// Relative, no step up, no empty or "." part, nothing Windows would read as a drive or separator,
// and no control character: the system cuts a name at a NUL, so the file written would not be
// the one recorded (and another entry's name could alias it), and Windows refuses the others.
bool is_safe_name(QString name)
{
    if (name.endsWith(QLatin1Char('/')))
        name.chop(1);
    if (name.isEmpty() || name.contains(QLatin1Char('\\')) || name.contains(QLatin1Char(':')))
        return false;
    for (const QChar character : qAsConst(name)) {
        if (character.unicode() < first_printable)
            return false;
    }
    for (const QString& part : name.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

// Reads the archive's directory only; a null text when every entry may be unpacked, and what they hold unpacked.
QString check_directory(QuaZip& zip, qint64* total_bytes)
{
    QSet<QString> names;
    int entries = 0;
    qint64 total = 0;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        if (!zip.getCurrentFileInfo(&info))
            return text(damaged_text);
        if (++entries > max_entries)
            return text(too_many_text);
        if (is_link(info))
            return text(link_text);
        if (!is_safe_name(info.name))
            return text(unsafe_name_text);
        // Windows takes names that differ only in letter case for the same file.
        const QString key = info.name.toCaseFolded();
        if (names.contains(key))
            return text(repeated_name_text);
        names.insert(key);
        total += static_cast<qint64>(info.uncompressedSize);
        if (info.uncompressedSize > static_cast<quint64>(max_file_bytes) || total > max_package_bytes)
            return text(too_big_text);
    }
    const int error = zip.getZipError();
    if ((error != UNZ_OK && error != UNZ_END_OF_LIST_OF_FILE) || entries == 0)
        return text(damaged_text);
    *total_bytes = total;
    return QString();
}

bool no_room(const QString& folder, qint64 bytes)
{
    const QStorageInfo disk(folder);
    return disk.isValid() && disk.bytesAvailable() < bytes;
}

// Creates the folder the package will be unpacked into; it never already exists.
QString create_target_folder(const QString& package_path)
{
    const QFileInfo preferred(package_rules::extraction_folder(package_path));
    if (!preferred.fileName().isEmpty() && !preferred.exists() &&
        QDir(preferred.absolutePath()).mkdir(preferred.fileName()))
        return preferred.absoluteFilePath();

    QTemporaryDir fresh(QDir::temp().filePath(QStringLiteral("vkt-update-XXXXXX")));
    if (!fresh.isValid())
        return QString();
    fresh.setAutoRemove(false);
    return fresh.path();
}

// Everything lands in a new name inside the folder this unpacking created, so nothing that
// existed before is ever written through, and what is created is recorded before it is filled.
bool unpack_current(QuaZip& zip, const QuaZipFileInfo64& info, Extraction& extraction)
{
    if (info.name.endsWith(QLatin1Char('/')))
        return true;
    const QStringList parts = info.name.split(QLatin1Char('/'));
    QString path = extraction.folder;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        path += QLatin1Char('/') + parts.at(i);
        if (extraction.subfolders.contains(path))
            continue;
        if (!QDir().mkdir(path))
            return false;
        extraction.subfolders.append(path);
    }
    path += QLatin1Char('/') + parts.last();

    QuaZipFile in(&zip);
    QFile out(path);
    if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    extraction.files.append(path);
    // The directory's sizes were checked, but an entry may inflate to more than it declares.
    QByteArray block(static_cast<int>(copy_block_bytes), Qt::Uninitialized);
    qint64 copied = 0;
    for (qint64 read; (read = in.read(block.data(), copy_block_bytes)) != 0;) {
        copied += read;
        if (read < 0 || copied > static_cast<qint64>(info.uncompressedSize) ||
            out.write(block.constData(), read) != read)
            return false;
    }
    in.close();
    // Read-only entries stay read-only, as they always unpacked; the firmware is only ever read.
    const QFileDevice::Permissions permissions = info.getPermissions();
    if (permissions != 0)
        out.setPermissions(permissions | QFileDevice::ReadOwner | QFileDevice::ReadUser);
    out.close();
    return in.getZipError() == UNZ_OK && out.error() == QFileDevice::NoError &&
           copied == static_cast<qint64>(info.uncompressedSize);
}

Extraction extract_from(QuaZip& zip, const QString& package_path)
{
    Extraction extraction;
    qint64 unpacked_bytes = 0;
    extraction.refusal = zip.open(QuaZip::mdUnzip) ? check_directory(zip, &unpacked_bytes) : text(damaged_text);
    if (!extraction.refusal.isNull())
        return extraction;

    extraction.folder = create_target_folder(package_path);
    // A disk without room for the package is told as such, before anything is written when that is known.
    const bool room = !extraction.folder.isEmpty() && !no_room(extraction.folder, unpacked_bytes);
    bool unpacked = room;
    for (bool more = unpacked && zip.goToFirstFile(); unpacked && more; more = zip.goToNextFile()) {
        QuaZipFileInfo64 info;
        unpacked = zip.getCurrentFileInfo(&info) && unpack_current(zip, info, extraction);
    }
    if (!unpacked || extraction.files.isEmpty()) {
        const bool full = !extraction.folder.isEmpty() && (!room || no_room(extraction.folder, copy_block_bytes));
        remove(extraction);
        extraction.refusal = text(full ? no_room_text : damaged_text);
    }
    return extraction;
}

} // namespace

Extraction extract(const QString& package_path)
{
    QuaZip zip(package_path);
    return extract_from(zip, package_path);
}

Extraction extract(const QString& package_path, const QByteArray& package)
{
    // Shares the caller's bytes: the buffer only reads them.
    QByteArray bytes = package;
    QBuffer buffer(&bytes);
    QuaZip zip(&buffer);
    return extract_from(zip, package_path);
}

QStringList entry_names(const QByteArray& package, QString* refusal)
{
    QByteArray bytes = package;
    QBuffer buffer(&bytes);
    QuaZip zip(&buffer);
    qint64 unpacked_bytes = 0;
    *refusal = zip.open(QuaZip::mdUnzip) ? check_directory(zip, &unpacked_bytes) : text(damaged_text);
    return refusal->isNull() ? zip.getFileNameList() : QStringList();
}

void remove(Extraction& extraction)
{
    // Only what was recorded, and never through a link: unlink and rmdir act on the name itself,
    // and rmdir leaves a folder that still holds anything that is not ours.
    for (const QString& path : qAsConst(extraction.files)) {
        const QFileInfo file(path);
        if (file.isSymLink() || !file.isFile())
            continue;
        // Windows refuses to delete a read-only file.
        if (!QFile::remove(path) && QFile::setPermissions(path, file.permissions() | QFileDevice::WriteOwner))
            QFile::remove(path);
    }
    for (auto it = extraction.subfolders.crbegin(); it != extraction.subfolders.crend(); ++it)
        QDir().rmdir(*it);
    if (!extraction.folder.isEmpty())
        QDir().rmdir(extraction.folder);
    if (!extraction.note.isEmpty())
        QFile::remove(extraction.note);
    extraction = Extraction();
}

QString default_notes_folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation) + QStringLiteral("/unpacking");
}

void keep_note(Extraction& extraction, const QString& notes_folder)
{
    const ProcessIdentity process = ProcessIdentity::current();
    const QJsonObject note{
        {QStringLiteral("host"), process.host},
        {QStringLiteral("boot"), process.boot},
        {QStringLiteral("pid"), process.pid},
        {QStringLiteral("started"), process.started},
        {QStringLiteral("folder"), extraction.folder},
        {QStringLiteral("files"), QJsonArray::fromStringList(extraction.files)},
        {QStringLiteral("subfolders"), QJsonArray::fromStringList(extraction.subfolders)},
    };
    if (!QDir().mkpath(notes_folder))
        return;
    QTemporaryFile file(notes_folder + QStringLiteral("/unpacked-XXXXXX.json"));
    file.setAutoRemove(false);
    if (file.open() && file.write(QJsonDocument(note).toJson()) > 0 && file.flush())
        extraction.note = file.fileName();
    else
        file.remove();
}

void remove_abandoned(const QString& notes_folder)
{
    const QDir folder(notes_folder);
    for (const QString& name : folder.entryList({QStringLiteral("unpacked-*.json")}, QDir::Files)) {
        const QString path = folder.filePath(name);
        QFile file(path);
        const QJsonObject note =
            file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
        file.close();
        const ProcessIdentity process{note.value(QStringLiteral("host")).toString(),
                                      note.value(QStringLiteral("boot")).toString(),
                                      note.value(QStringLiteral("pid")).toVariant().toLongLong(),
                                      note.value(QStringLiteral("started")).toString()};
        if (process.state() != ProcessIdentity::State::ended)
            continue;
        // Nothing outside the folder the unpacking made, whatever the note says.
        const QString inside = note.value(QStringLiteral("folder")).toString() + QLatin1Char('/');
        const auto list = [&note, &inside](const char* key) {
            QStringList paths;
            for (const QJsonValue& value : note.value(QLatin1String(key)).toArray()) {
                if (value.toString().startsWith(inside) && !value.toString().contains(QLatin1String("/../")))
                    paths.append(value.toString());
            }
            return paths;
        };
        Extraction left{inside.chopped(1), list("files"), list("subfolders"), QString(), path};
        remove(left);
    }
}

} // namespace package_extraction
