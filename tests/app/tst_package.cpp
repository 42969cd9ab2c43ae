#include "support/package_builder.h"
#include "support/pty_pair.h"
#include "support/window_under_test.h"
#include "widgets/popup.h"

#include <QDirIterator>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using package_builder::write_package;

namespace
{

const QString invalid_text = QStringLiteral("Erro! Arquivo Inválido");
const QString valid_text = QStringLiteral("Arquivo Validado");
const QString unusable_text = QStringLiteral("Erro! Pacote vazio ou danificado");
const QByteArray end_token = "#B_END";
const QStringList two_files{"MAIN_1", "GRID_2"};

using Tree = QMap<QString, QByteArray>;

// Every file and folder under root with the files' bytes: equal trees mean that nothing was
// created, removed or rewritten.
Tree tree(const QString& root)
{
    Tree entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const bool folder = it.fileInfo().isDir();
        entries.insert(QDir(root).relativeFilePath(path) + (folder ? "/" : ""), folder ? "" : file_bytes(path));
    }
    return entries;
}

QList<package_builder::Entry> firmware_entries(const QStringList& names)
{
    QList<package_builder::Entry> entries;
    for (int i = 0; i < names.size(); ++i) {
        const bool folder = names.at(i).endsWith('/');
        entries.append(
            {names.at(i), folder ? QByteArray()
                                 : package_builder::converted_firmware(char('A' + i), 3 + i, names.at(i).toLatin1())});
    }
    return entries;
}

// What an operator keeps beside a package: files of the package's names with bytes of their own,
// a note and a folder of older versions.
void fill_operator_folder(const QString& folder, const QStringList& names)
{
    QDir().mkpath(folder + "/old");
    for (const QString& name : names) {
        write_file(folder + '/' + name, "operator's " + name.toLatin1());
        write_file(folder + "/old/" + name, "older " + name.toLatin1());
    }
    write_file(folder + "/notes.txt", "keep me");
}

} // namespace

class tst_package : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void choice_that_unpacks_nothing_data();
    void choice_that_unpacks_nothing();
    void whole_package_in_sending_order();
    void unreadable_head_entry_data();
    void unreadable_head_entry();
    void operator_files_survive_data();
    void operator_files_survive();
    void crafted_entries_write_nothing_outside();

private:
    QString path(const QString& name) const { return workspace->filePath(name); }
    // The counter only reaches the operator behind a status text.
    QString shown_status();
    void tear_down(bool by_failure);
    QStringList program_folders() const { return names_in(program_temp); }

    QTemporaryDir sandbox;
    QString program_temp;
    QString start_directory;
    std::unique_ptr<QTemporaryDir> workspace;
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<WindowUnderTest> ui;
};

void tst_package::initTestCase()
{
    QVERIFY(sandbox.isValid());
    // The program unpacks into a fresh folder of its own under the temporary directory when the
    // extraction folder is taken; pointing that directory into the sandbox makes it observable.
    program_temp = sandbox.filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(program_temp));
    qputenv("TMPDIR", QFile::encodeName(program_temp));
    QCOMPARE(QDir::tempPath(), program_temp);
    start_directory = QDir::currentPath();
}

void tst_package::init()
{
    workspace = std::make_unique<QTemporaryDir>(sandbox.filePath(QStringLiteral("ws-XXXXXX")));
    QVERIFY(workspace->isValid());
    pty = std::make_unique<PtyPair>();
    QVERIFY(pty->is_valid());
    // A removal aimed at a folder derived from an empty path would hit the working directory.
    QVERIFY(QDir::setCurrent(workspace->path()));
    ui = std::make_unique<WindowUnderTest>();
    QVERIFY(ui->connect_to(*pty));
}

void tst_package::cleanup()
{
    ui.reset();
    pty.reset();
    QDir::setCurrent(start_directory);
    workspace.reset();
    for (const QString& name : program_folders())
        QDir(program_temp + '/' + name).removeRecursively();
}

QString tst_package::shown_status()
{
    if (!ui->invoke("set_progress_and_status", Q_ARG(QString, "Enviando"), Q_ARG(int, 50)))
        return QStringLiteral("<not invoked>");
    return ui->text("statusBootloader");
}

// The two ends of a run that remove the unpacked files; every package here holds two files, one
// of them loaded.
void tst_package::tear_down(bool by_failure)
{
    if (by_failure) {
        QVERIFY(ui->invoke("serial_state", Q_ARG(QString, "#B_CRC")));
        return;
    }
    QVERIFY(ui->invoke("read_archive"));
    QVERIFY(ui->invoke("read_archive"));
}

void tst_package::choice_that_unpacks_nothing_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("status");

    QTest::newRow("cancelled") << QString() << QStringList() << invalid_text;
    QTest::newRow("upper-case extension") << "X.VKT" << two_files << invalid_text;
    // A save dialog accepts a name that does not exist; a broken package unpacks the same way.
    QTest::newRow("missing package") << "P.vkt" << QStringList() << unusable_text;
    // A folder entry is no firmware file.
    QTest::newRow("package holding only a folder entry") << "P.vkt" << QStringList{"sub/"} << unusable_text;
}

void tst_package::choice_that_unpacks_nothing()
{
    QFETCH(QString, name);
    QFETCH(QStringList, entries);
    QFETCH(QString, status);
    const QString chosen = name.isNull() ? QString() : path(name);
    if (!entries.isEmpty())
        QVERIFY(write_package(chosen, firmware_entries(entries)));
    const Tree before = tree(workspace->path());

    QVERIFY(ui->choose_package(chosen));

    QCOMPARE(ui->text("lineStatusArchive"), status);
    QVERIFY(!ui->popup->isVisible());
    QCOMPARE(shown_status(), QStringLiteral("Enviando"));
    QCOMPARE(pty->read_program_output(1, 200, 0), QByteArray());
    QCOMPARE(tree(workspace->path()), before);
    QCOMPARE(program_folders(), QStringList());
}

void tst_package::whole_package_in_sending_order()
{
    const QString package = path("Linha_X_3000#rev2.vkt");
    QVERIFY(write_package(package, firmware_entries({"Event_A", "MAIN_B", "GRID_C"})));
    const Tree before = tree(workspace->path());
    const QString folder = path("Linha_X_3000#rev2");

    QVERIFY(ui->choose_package(package));
    QCOMPARE(ui->text("lineStatusArchive"), valid_text);
    QVERIFY(ui->popup->isVisible());
    QCOMPARE(ui->popup->findChild<QLabel*>("boardLabel")->text(), QStringLiteral("Linha X 3000"));

    // Each load takes the next file out of the folder, the "event" file last.
    QCOMPARE(shown_status(), QStringLiteral("Enviando (1 / 3)"));
    QCOMPARE(names_in(folder), (QStringList{"Event_A", "GRID_C"}));
    QVERIFY(ui->invoke("read_archive"));
    QCOMPARE(shown_status(), QStringLiteral("Enviando (2 / 3)"));
    QCOMPARE(names_in(folder), QStringList{"Event_A"});
    QVERIFY(ui->invoke("read_archive"));
    QCOMPARE(shown_status(), QStringLiteral("Enviando (3 / 3)"));
    QCOMPARE(names_in(folder), QStringList());

    ui->popup->set_init_enabled(false);
    QVERIFY(ui->invoke("read_archive"));
    QCOMPARE(pty->read_program_output(end_token.size(), 3000), end_token);
    QVERIFY(!ui->popup->isVisible());
    QVERIFY(ui->popup->findChild<QPushButton*>("initButton")->isEnabled());
    QCOMPARE(tree(workspace->path()), before);
    QCOMPARE(program_folders(), QStringList());
}

void tst_package::unreadable_head_entry_data()
{
    QTest::addColumn<bool>("folder_in_its_place");

    QTest::newRow("file gone") << false;
    QTest::newRow("folder in its place") << true;
}

void tst_package::unreadable_head_entry()
{
    QFETCH(bool, folder_in_its_place);
    QVERIFY(write_package(path("P.vkt"), firmware_entries({"MAIN_1", "GRID_2", "GRID_3"})));
    QVERIFY(ui->choose_package(path("P.vkt")));
    const QString head = path("P/GRID_2");
    QVERIFY(QFile::remove(head));
    if (folder_in_its_place)
        QVERIFY(QDir().mkdir(head));

    QVERIFY(ui->invoke("read_archive"));
    QVERIFY(ui->invoke("read_archive"));

    // Nothing is skipped, sent or created in its place: the run waits on that file.
    QCOMPARE(pty->read_program_output(1, 200, 0), QByteArray());
    QCOMPARE(shown_status(), QStringLiteral("Enviando (1 / 3)"));
    QVERIFY(ui->popup->isVisible());
    QCOMPARE(QFileInfo::exists(head), folder_in_its_place);
    QVERIFY(QFile::exists(path("P/GRID_3")));
}

void tst_package::operator_files_survive_data()
{
    // Packages chosen in turn, a null name cancelling the dialog; the operator's folder holds
    // files of the packages' names and is the working directory.
    QTest::addColumn<QStringList>("choices");
    QTest::addColumn<QString>("operator_folder");
    QTest::addColumn<bool>("by_failure");

    QTest::newRow("folder of the package's name, end of list") << QStringList{"PKG.vkt"} << "PKG" << false;
    QTest::newRow("folder of the package's name, failure") << QStringList{"PKG.vkt"} << "PKG" << true;
    // A name beginning with '.' gives the package's own directory.
    QTest::newRow("hidden package name") << QStringList{".PKG.vkt"} << "" << false;
    // Removal follows the package opened, never a later choice.
    QTest::newRow("rejected name after a package") << QStringList{"GOOD.vkt", "OPER.VKT"} << "OPER" << false;
    QTest::newRow("cancelled choice after a package") << QStringList{"GOOD.vkt", QString()} << "OPER" << true;
    QTest::newRow("second package, first one's folder taken") << QStringList{"A.vkt", "B.vkt"} << "A" << false;
    QTest::newRow("failure before any package") << QStringList{QString()} << "OPER" << true;
}

void tst_package::operator_files_survive()
{
    QFETCH(QStringList, choices);
    QFETCH(QString, operator_folder);
    QFETCH(bool, by_failure);
    fill_operator_folder(path(operator_folder), two_files);
    QVERIFY(QDir::setCurrent(path(operator_folder)));
    for (const QString& name : choices) {
        if (!name.isNull())
            QVERIFY(write_package(path(name), firmware_entries(two_files)));
    }
    const Tree before = tree(workspace->path());

    for (const QString& name : choices)
        QVERIFY(ui->choose_package(name.isNull() ? QString() : path(name)));
    const Tree during = tree(workspace->path());
    for (auto it = before.cbegin(); it != before.cend(); ++it)
        QVERIFY2(during.value(it.key(), "<gone>") == it.value(), qPrintable(it.key()));

    tear_down(by_failure);

    QCOMPARE(tree(workspace->path()), before);
    QCOMPARE(program_folders(), QStringList());
}

// QuaZip skips entries that would land outside the extraction folder; a library change must not
// reopen that hole.
void tst_package::crafted_entries_write_nothing_outside()
{
    const QString nested = path("a/b");
    QVERIFY(QDir().mkpath(nested));
    QVERIFY(write_package(nested + "/PKG.vkt", {{"MAIN_1", package_builder::converted_firmware('A', 2)},
                                                {"../evil", "evil"},
                                                {"../../evil", "evil"},
                                                {path("abs/evil"), "evil"}}));
    const Tree before = tree(sandbox.path());

    QVERIFY(ui->choose_package(nested + "/PKG.vkt"));
    tear_down(true);

    // The teardown removes the extraction folder only: whatever landed elsewhere is still here.
    QCOMPARE(tree(sandbox.path()), before);
}

QTEST_MAIN(tst_package)
#include "tst_package.moc"
