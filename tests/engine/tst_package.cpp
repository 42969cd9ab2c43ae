#include "engine/update_engine.h"
#include "equipment/equipment_simulator.h"
#include "rules/archive.h"
#include "rules/package_extraction.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

#include <sys/mount.h>
#include <unistd.h>

using package_builder::Entry;

namespace
{

const QString link_text = QStringLiteral("Erro! Pacote com link simbólico");
const QString unsafe_text = QStringLiteral("Erro! Pacote com nome de arquivo inválido");
const QString damaged_text = QStringLiteral("Erro! Pacote vazio ou danificado");
const QByteArray firmware = package_builder::converted_firmware('C', 3);

} // namespace

class tst_package : public QObject
{
    Q_OBJECT

private slots:
    void archive_chunks();
    void a_live_program_keeps_its_files();
    void crafted_package_data();
    void crafted_package();
};

// CR LF line ends, NULs and high bytes are kept in the record; the wire stops at a NUL.
void tst_package::archive_chunks()
{
    QByteArray content("A\0B\r\n\xFF\r", 7);
    QBuffer buffer(&content);
    Archive archive;
    QVERIFY(buffer.open(QIODevice::ReadOnly) && archive_rules::load(archive, buffer));
    QCOMPARE(archive.line_count, 2);
    QCOMPARE(archive.chunk(1) + archive.chunk(2), QByteArray("\n\xFF\r"));
    QCOMPARE(archive_rules::wire_bytes(archive.chunk(0)), QByteArray("A"));
    // A NUL first leaves nothing at all to send, not the whole line.
    QCOMPARE(archive_rules::wire_bytes(QByteArray("\0B\r", 3)), QByteArray());
    // A file that cannot be read adds nothing to the least time left.
    QCOMPARE(archive_rules::line_count_of(QStringLiteral("/nonexistent")), 0);
}

// What a program still running unpacked is its own: another program's start removes only what a dead one left.
void tst_package::a_live_program_keeps_its_files()
{
    QTemporaryDir dir;
    QVERIFY(package_builder::write_package(dir.filePath("P.vkt"), {{"MAIN_1", firmware}}));
    Extraction unpacked = package_extraction::extract(dir.filePath("P.vkt"));
    package_extraction::keep_note(unpacked, dir.filePath("notes"));
    package_extraction::remove_abandoned(dir.filePath("notes"));
    QVERIFY(QFileInfo(unpacked.files.value(0)).isFile() && QFileInfo(unpacked.note).isFile());
    package_extraction::remove(unpacked);
}

// Each package is chosen beside an operator's folder "outside" (an '@' in a name or a link's target stands for it);
// then comes a second choice or a file replaced under the program, and the failure teardown.
void tst_package::crafted_package_data()
{
    QTest::addColumn<QString>("package");
    QTest::addColumn<QList<Entry>>("entries");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("then");

    const auto refused = [](const char* name, const QList<Entry>& entries, const QString& text) {
        QTest::newRow(name) << "P.vkt" << entries << text << "<nothing>";
    };
    const auto accepted = [](const char* name, const QString& package, const QList<Entry>& entries,
                             const QString& then = "<nothing>") {
        QTest::newRow(name) << package << entries << "Arquivo Validado" << then;
    };
    const auto link = [](const QString& name, const QByteArray& to) { return Entry{name, to, 0120777}; };
    const Entry main_file{"MAIN_1", firmware};
    const auto read_only = [](const QString& name) { return Entry{name, firmware, 0100444}; };
    const QList<Entry> two{main_file, {"GRID_2", firmware}};
    QList<Entry> thousands;
    for (int i = 0; i < 5000; ++i)
        thousands.append({QString::number(i), "S"});

    refused("link, then a file of its name", {link("MAIN_1", "@/secret"), main_file}, link_text);
    refused("link to a folder outside", {link("d", "@"), {"d/secret", "S"}}, link_text);
    QList<Entry> largest;
    for (int i = 0; i < 8; ++i)
        largest.append({QString::number(i), QByteArray(), 0, package_extraction::max_file_bytes});
    refused("entry over the largest size", {{"MAIN_1", "S", 0, package_extraction::max_file_bytes}},
            "Erro! Pacote grande demais");
    refused("one byte over the package's size", largest + QList<Entry>{{"8", "S"}}, "Erro! Pacote grande demais");
    refused("thousands of entries", thousands, "Erro! Pacote com arquivos demais");
    refused("duplicate names", {main_file, main_file}, "Erro! Pacote com arquivos repetidos");
    refused("name stepping out", {main_file, {"../secret", "S"}}, unsafe_text);
    refused("absolute name", {main_file, {"@/secret", "S"}}, unsafe_text);
    refused("backslash", {main_file, {"..\\secret", "S"}}, unsafe_text);
    refused("control character", {main_file, {"GRID\n2", "S"}}, unsafe_text);
    refused("missing package", {}, damaged_text);
    refused("only a folder entry", {{"sub/", ""}}, damaged_text);
    refused("a file named as the folder before it", {{"sub/GRID_2", firmware}, {"sub", firmware}}, damaged_text);
    QTest::newRow("a disk without room for it") << "P.vkt" << QList<Entry>{{"MAIN_1", QByteArray(1 << 20, 'S')}}
                                                << "Erro! Sem espaço no disco para abrir o pacote"
                                                << "<full disk>";
    accepted("folder entry beside a file", "P.vkt", {{"sub/", ""}, main_file});
    accepted("line bomb", "P.vkt", {{"MAIN_1", QByteArray(10 << 20, '\r')}});
    accepted("an entry of the largest size", "P.vkt",
             {{"MAIN_1", QByteArray(int(package_extraction::max_file_bytes), 'S')}});
    accepted("a package of the largest size", "P.vkt", largest);
    // Read-only entries unpack read-only, as they always did; a normal user must still load them.
    accepted("read-only nested entries", "P.vkt", {read_only("sub/GRID_2"), read_only("sub/MAIN_1")}, "<as nobody>");
    // The operator's folder of the package's name, or the package's own folder for a name beginning with '.', is never
    // unpacked into nor removed.
    accepted("extraction folder taken", "outside.vkt", two);
    accepted("hidden package name", ".P.vkt", two);
    // A later choice that is refused or cancelled must not redirect the removal.
    accepted("rejected name after a package", "P.vkt", two, "outside.VKT");
    accepted("cancelled choice after a package", "P.vkt", two, "");
    accepted("refused package after a package", "P.vkt", two, "missing.vkt");
    accepted("file waiting to be sent replaced by a link", "P.vkt", two, "<link>");
}

void tst_package::crafted_package()
{
    QFETCH(QString, package);
    QFETCH(QList<Entry>, entries);
    QFETCH(QString, shown);
    QFETCH(QString, then);
    // Open to a normal user; it holds the program's temporary folder too, used when the extraction folder is taken.
    QTemporaryDir workspace;
    if (then == "<full disk>" && ::mount("tmpfs", qPrintable(workspace.path()), "tmpfs", 0, "size=256k") != 0)
        QSKIP("no small file system can be mounted here");
    const auto unmount = qScopeGuard([&] { ::umount(qPrintable(workspace.path())); });
    const QString outside = workspace.filePath("outside");
    QVERIFY(QFile::setPermissions(workspace.path(), QFileDevice::Permissions(0x7777)) && QDir().mkpath(outside) &&
            QDir().mkpath(workspace.filePath("tmp")));
    qputenv("TMPDIR", QFile::encodeName(workspace.filePath("tmp")));
    for (const char* name : {"secret", "MAIN_1", "GRID_2"})
        QVERIFY(write_file(outside + '/' + name, name));
    for (Entry& entry : entries) {
        entry.name.replace('@', outside);
        entry.bytes.replace('@', QFile::encodeName(outside));
    }
    QVERIFY(entries.isEmpty() || package_builder::write_package(workspace.filePath(package), entries));
    const auto before = package_builder::snapshot(workspace.path());
    UpdateEngine engine{QString()};
    engine.set_waits(short_waits());
    QSignalSpy withdrawn(&engine, &UpdateEngine::consent_withdrawn);
    UpdateEngine::Stage shown_last;
    connect(&engine, &UpdateEngine::stage, [&](const UpdateEngine::Stage& stage) { shown_last = stage; });

    // Root passes every permission check; the saved id 0 keeps the way back from nobody open.
    const bool step_down = then == "<as nobody>" && geteuid() == 0;
    const bool stepped = !step_down || (setresgid(65534, 65534, 0) == 0 && setresuid(65534, 65534, 0) == 0);
    const UpdateEngine::PackageOpening opening =
        stepped ? engine.open_package(workspace.filePath(package)) : UpdateEngine::PackageOpening();
    if (step_down && (setresuid(0, 0, 0) != 0 || setresgid(0, 0, 0) != 0))
        qFatal("cannot return to root");
    if (!stepped)
        QSKIP("cannot step down to a normal user, who meets file permissions");

    QCOMPARE(opening.refusal.isEmpty() ? QStringLiteral("Arquivo Validado") : opening.refusal, shown);
    QCOMPARE(opening.accepted, shown.startsWith("Arquivo"));
    const auto files =
        std::count_if(entries.cbegin(), entries.cend(), [](const Entry& e) { return !e.name.endsWith('/'); });
    QCOMPARE(engine.counter(), opening.accepted ? QString(" (1 / %1)").arg(files) : QString());
    const int withdrawn_before = withdrawn.count();
    if (!then.startsWith('<'))
        engine.open_package(then.isEmpty() ? QString() : workspace.filePath(then));
    // The start dialog shown for the earlier package must not outlive a refused choice.
    if (then == "missing.vkt")
        QVERIFY(withdrawn.count() > withdrawn_before);
    if (then == "<link>") {
        // What was put in place of a file of ours is neither followed nor removed, and the run ends rather than waiting
        // on it for good.
        const QString head = workspace.filePath("P/GRID_2");
        QVERIFY(QFile::remove(head) && QFile::link(outside + "/secret", head));
        EquipmentSimulator equipment;
        QSignalSpy ended(&engine, &UpdateEngine::ended);
        QVERIFY(equipment.open_pty());
        engine.open_port(equipment.port_path());
        engine.start();
        QVERIFY(run_until([&] { return !ended.isEmpty(); }, 10000));
        QCOMPARE(ended.first().first().value<bootloader_protocol::EndClass>(),
                 bootloader_protocol::EndClass::package_unusable);
        QCOMPARE(shown_last.text + shown_last.counter,
                 QStringLiteral("Erro! Não foi possível ler o firmware do pacote (1 / 2)"));
        QVERIFY(engine.is_open() && QFileInfo(head).isSymLink() && QFile::remove(head) &&
                QDir().rmdir(workspace.filePath("P")));
    }
    engine.abandon();

    // The package itself included, everything is as it was, and nothing is left behind.
    QCOMPARE(package_builder::snapshot(workspace.path()), before);
}

QTEST_MAIN(tst_package)
#include "tst_package.moc"
