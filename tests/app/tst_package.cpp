#include "app/mainwindow.h"
#include "support/dialog_answer.h"
#include "support/package_builder.h"
#include "support/pty_pair.h"
#include "widgets/popup.h"

#include <QApplication>
#include <QComboBox>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace
{

const QString invalid_text = QStringLiteral("Erro! Arquivo Inválido");
const QString valid_text = QStringLiteral("Arquivo Validado");
const QByteArray end_token = "#B_END";

using Snapshot = QMap<QString, QByteArray>;

QByteArray read_bytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

bool write_bytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Every file and folder under root, by relative path, with the files' bytes: two snapshots are
// equal only if nothing was created, removed or rewritten.
Snapshot snapshot(const QString& root)
{
    Snapshot entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        if (it.fileInfo().isDir())
            entries.insert(relative + QLatin1Char('/'), QByteArray());
        else
            entries.insert(relative, read_bytes(path));
    }
    return entries;
}

QStringList file_names(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

// Firmware entries with distinct bytes each, so a file can be told from any other.
QList<package_builder::Entry> firmware_entries(const QStringList& names)
{
    QList<package_builder::Entry> entries;
    const char boards[] = "ABCDEF23";
    for (int i = 0; i < names.size(); ++i)
        entries.append(
            {names.at(i), package_builder::converted_firmware(boards[i % 8], 3 + i, "P" + names.at(i).toLatin1())});
    return entries;
}

QStringList numbered_names(int count)
{
    QStringList names;
    for (int i = 1; i <= count; ++i)
        names.append(QStringLiteral("BOARD_%1").arg(i, 2, 10, QLatin1Char('0')));
    return names;
}

// What the operator keeps beside a package: files of the package's names with their own bytes,
// a file of their own and a folder of older versions.
void fill_operator_folder(const QString& folder, const QStringList& package_names)
{
    QDir().mkpath(folder + QStringLiteral("/old"));
    for (const QString& name : package_names) {
        write_bytes(folder + QLatin1Char('/') + name, "operator's " + name.toLatin1() + "\r");
        write_bytes(folder + QStringLiteral("/old/") + name, "older " + name.toLatin1() + "\r");
    }
    write_bytes(folder + QStringLiteral("/notes.txt"), "keep me");
}

} // namespace

class tst_package : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void rejected_choice_data();
    void rejected_choice();
    void valid_package_loads_first_file_in_sending_order();
    void counter_follows_every_load();
    void unreadable_head_entry_data();
    void unreadable_head_entry();
    void end_of_list();
    void unpack_failure_data();
    void unpack_failure();
    void folder_entry_left_out();

    void operator_folder_survives_data();
    void operator_folder_survives();
    void crafted_entries_stay_inside_data();
    void crafted_entries_stay_inside();
    void rejected_choice_does_not_redirect_removal_data();
    void rejected_choice_does_not_redirect_removal();
    void dot_named_package_keeps_its_directory_data();
    void dot_named_package_keeps_its_directory();
    void second_package_removes_only_first_extraction_data();
    void second_package_removes_only_first_extraction();

private:
    bool choose(const QString& path);
    void invoke_read_archive();
    void fail_update();
    void tear_down(const QString& how, int files_left);
    QString shown_counter();
    QByteArray line_output(int expected_bytes);
    QStringList program_folders() const;
    template <typename T> T* widget(const char* name) const { return window->findChild<T*>(QLatin1String(name)); }
    QString text_of(const char* name) const;

    QTemporaryDir sandbox;
    QString program_temp;
    QString start_directory;
    std::unique_ptr<QTemporaryDir> workspace;
    std::unique_ptr<PtyPair> pty;
    std::unique_ptr<MainWindow> window;
    PopUp* popup = nullptr;
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
    window = std::make_unique<MainWindow>();
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (auto* candidate = qobject_cast<PopUp*>(top))
            popup = candidate;
    }
    QVERIFY(popup);

    auto* ports = widget<QComboBox>("boxPort");
    ports->addItem(pty->slave_path());
    ports->setCurrentIndex(ports->count() - 1);
    widget<QPushButton>("connectButton")->click();
    QVERIFY(widget<QGroupBox>("archiveGroupBox")->isEnabled());
}

void tst_package::cleanup()
{
    window.reset();
    // The window's dialogs have no parent; without this every test would add its own.
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top->inherits("PopUp") || top->inherits("zipwindow"))
            delete top;
    }
    popup = nullptr;
    pty.reset();
    QDir::setCurrent(start_directory);
    workspace.reset();
    for (const QString& name : program_folders())
        QDir(program_temp + QLatin1Char('/') + name).removeRecursively();
}

QString tst_package::text_of(const char* name) const
{
    const QWidget* shown = widget<QWidget>(name);
    return shown ? shown->property("text").toString() : QStringLiteral("<no %1>").arg(QLatin1String(name));
}

bool tst_package::choose(const QString& path)
{
    // QFileDialog::selectFile() leaves the name field alone while that field has the keyboard
    // focus, and the focus may reach it before the answer does: keep it out of the dialog.
    const auto focus_guard = connect(qApp, &QApplication::focusChanged, this, [](QWidget*, QWidget* now) {
        if (now && qobject_cast<QFileDialog*>(now->window()))
            now->clearFocus();
    });
    dialog_answer::answer_next_file_dialog(path);
    widget<QPushButton>("Search_archive")->click();
    disconnect(focus_guard);
    return text_of("fileLineEdit") == path;
}

void tst_package::invoke_read_archive()
{
    QVERIFY(QMetaObject::invokeMethod(window.get(), "read_archive"));
}

void tst_package::fail_update()
{
    QVERIFY(QMetaObject::invokeMethod(window.get(), "serial_state", Q_ARG(QString, QStringLiteral("#B_CRC"))));
}

void tst_package::tear_down(const QString& how, int files_left)
{
    if (how == QLatin1String("end of list")) {
        for (int i = 0; i <= files_left; ++i)
            invoke_read_archive();
    } else {
        fail_update();
    }
}

// The counter only reaches the operator behind a status text.
QString tst_package::shown_counter()
{
    if (!QMetaObject::invokeMethod(window.get(), "set_progress_and_status", Q_ARG(QString, QString()), Q_ARG(int, 50)))
        return QStringLiteral("<not invoked>");
    return text_of("statusBootloader");
}

// Everything the program puts on the line, read on the equipment's side: waits for the bytes
// expected, then for a short quiet stretch so that anything trailing them is caught too.
QByteArray tst_package::line_output(int expected_bytes)
{
    QByteArray bytes;
    QElapsedTimer elapsed;
    elapsed.start();
    while (bytes.size() < expected_bytes && elapsed.elapsed() < 3000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        bytes += pty->read(5, 1);
    }
    for (int i = 0; i < 5; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        bytes += pty->read(10, 1);
    }
    return bytes;
}

QStringList tst_package::program_folders() const
{
    return file_names(program_temp);
}

void tst_package::rejected_choice_data()
{
    QTest::addColumn<QString>("name");

    QTest::newRow("cancelled") << QString();
    QTest::newRow("upper-case extension") << "X.VKT";
    QTest::newRow("no extension") << "X.zip";
}

void tst_package::rejected_choice()
{
    QFETCH(QString, name);

    const QString path = name.isNull() ? QString() : workspace->filePath(name);
    if (!path.isNull())
        QVERIFY(package_builder::write_package(path, firmware_entries({"MAIN_1"})));
    const Snapshot before = snapshot(workspace->path());

    QVERIFY(choose(path));

    QCOMPARE(text_of("lineStatusArchive"), invalid_text);
    QVERIFY(!popup->isVisible());
    QCOMPARE(shown_counter(), QString());
    QCOMPARE(snapshot(workspace->path()), before);
    QCOMPARE(program_folders(), QStringList());
}

void tst_package::valid_package_loads_first_file_in_sending_order()
{
    const QString package = workspace->filePath(QStringLiteral("Linha_X_3000#rev2.vkt"));
    const auto entries = firmware_entries({"Event_A", "MAIN_B", "GRID_C"});
    QVERIFY(package_builder::write_package(package, entries));
    const QByteArray package_bytes = read_bytes(package);
    const QString folder = workspace->filePath(QStringLiteral("Linha_X_3000#rev2"));

    QVERIFY(choose(package));

    QCOMPARE(text_of("lineStatusArchive"), valid_text);
    QCOMPARE(text_of("fileLineEdit"), package);
    QVERIFY(popup->isVisible());
    QCOMPARE(popup->findChild<QLabel*>(QStringLiteral("boardLabel"))->text(), QStringLiteral("Linha X 3000"));
    QCOMPARE(shown_counter(), QStringLiteral(" (1 / 3)"));
    // The "event" file goes last, so MAIN_B is the first one loaded and deleted.
    QCOMPARE(file_names(folder), (QStringList{"Event_A", "GRID_C"}));
    QCOMPARE(read_bytes(folder + "/Event_A"), entries.at(0).second);
    QCOMPARE(read_bytes(folder + "/GRID_C"), entries.at(2).second);

    invoke_read_archive();
    QCOMPARE(file_names(folder), QStringList{"Event_A"});
    invoke_read_archive();
    QCOMPARE(file_names(folder), QStringList());
    QCOMPARE(shown_counter(), QStringLiteral(" (3 / 3)"));
    QCOMPARE(read_bytes(package), package_bytes);
}

void tst_package::counter_follows_every_load()
{
    const QString package = workspace->filePath(QStringLiteral("P.vkt"));
    QVERIFY(package_builder::write_package(package, firmware_entries(numbered_names(12))));

    QVERIFY(choose(package));
    QStringList shown{shown_counter()};
    for (int i = 1; i < 12; ++i) {
        invoke_read_archive();
        shown.append(shown_counter());
    }

    QStringList expected;
    for (int k = 1; k <= 12; ++k)
        expected.append(QStringLiteral(" (%1 / 12)").arg(k));
    QCOMPARE(shown, expected);
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

    const QString package = workspace->filePath(QStringLiteral("P.vkt"));
    const auto entries = firmware_entries({"MAIN_1", "GRID_2", "GRID_3"});
    QVERIFY(package_builder::write_package(package, entries));
    const QString head = workspace->filePath(QStringLiteral("P/GRID_2"));
    QVERIFY(choose(package));
    QCOMPARE(shown_counter(), QStringLiteral(" (1 / 3)"));

    QVERIFY(QFile::remove(head));
    if (folder_in_its_place)
        QVERIFY(QDir().mkdir(head));
    const QString status = text_of("statusBootloader");
    const QString archive_status = text_of("lineStatusArchive");
    const QString info = text_of("info");

    invoke_read_archive();
    invoke_read_archive();

    QCOMPARE(text_of("statusBootloader"), status);
    QCOMPARE(text_of("lineStatusArchive"), archive_status);
    QCOMPARE(text_of("info"), info);
    QCOMPARE(line_output(0), QByteArray());
    QVERIFY(popup->isVisible());
    QCOMPARE(shown_counter(), QStringLiteral(" (1 / 3)"));
    QCOMPARE(QFileInfo(head).isDir(), folder_in_its_place);
    QVERIFY(QFile::exists(workspace->filePath(QStringLiteral("P/GRID_3"))));

    // Once readable again it is still the next one: it goes, the file behind it stays.
    if (folder_in_its_place)
        QVERIFY(QDir().rmdir(head));
    QVERIFY(write_bytes(head, entries.at(1).second));
    invoke_read_archive();
    QCOMPARE(shown_counter(), QStringLiteral(" (2 / 3)"));
    QCOMPARE(file_names(workspace->filePath(QStringLiteral("P"))), QStringList{"GRID_3"});
}

void tst_package::end_of_list()
{
    const QString package = workspace->filePath(QStringLiteral("P.vkt"));
    QVERIFY(package_builder::write_package(package, firmware_entries({"MAIN_1", "GRID_2", "EVENT_3"})));
    const Snapshot before = snapshot(workspace->path());

    QVERIFY(choose(package));
    invoke_read_archive();
    invoke_read_archive();
    QVERIFY(popup->isVisible());
    QCOMPARE(shown_counter(), QStringLiteral(" (3 / 3)"));
    QCOMPARE(file_names(workspace->filePath(QStringLiteral("P"))), QStringList());

    invoke_read_archive();

    QCOMPARE(line_output(end_token.size()), end_token);
    QVERIFY(!popup->isVisible());
    QVERIFY(popup->findChild<QPushButton*>(QStringLiteral("initButton"))->isEnabled());
    QCOMPARE(snapshot(workspace->path()), before);
    QCOMPARE(program_folders(), QStringList());
}

void tst_package::unpack_failure_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("exists");
    QTest::addColumn<bool>("zip_with_folder_only");

    QTest::newRow("missing file") << QByteArray() << false << false;
    QTest::newRow("not a ZIP") << QByteArray("#\rA\r3\r10\rS1000000\r") << true << false;
    QTest::newRow("empty file") << QByteArray() << true << false;
    QTest::newRow("ZIP with only a folder entry") << QByteArray() << true << true;
}

void tst_package::unpack_failure()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, exists);
    QFETCH(bool, zip_with_folder_only);

    const QString package = workspace->filePath(QStringLiteral("P.vkt"));
    if (zip_with_folder_only)
        QVERIFY(package_builder::write_package(package, {{"sub/", QByteArray()}}));
    else if (exists)
        QVERIFY(write_bytes(package, content));
    const Snapshot before = snapshot(workspace->path());

    QVERIFY(choose(package));

    QCOMPARE(text_of("lineStatusArchive"), valid_text);
    QCOMPARE(line_output(end_token.size()), end_token);
    QVERIFY(popup->isVisible());
    QCOMPARE(shown_counter(), QStringLiteral(" (0 / 0)"));
    QCOMPARE(snapshot(workspace->path()), before);
    QCOMPARE(program_folders(), QStringList());
}

void tst_package::folder_entry_left_out()
{
    const QString package = workspace->filePath(QStringLiteral("P.vkt"));
    auto entries = firmware_entries({"MAIN_1", "GRID_2"});
    entries.prepend({"sub/", QByteArray()});
    QVERIFY(package_builder::write_package(package, entries));

    QVERIFY(choose(package));
    QCOMPARE(shown_counter(), QStringLiteral(" (1 / 2)"));
    invoke_read_archive();
    QCOMPARE(shown_counter(), QStringLiteral(" (2 / 2)"));
    invoke_read_archive();
    QCOMPARE(line_output(end_token.size()), end_token);
    QVERIFY(!QFileInfo::exists(workspace->filePath(QStringLiteral("P"))));
}

void tst_package::operator_folder_survives_data()
{
    QTest::addColumn<QString>("teardown");
    QTest::addColumn<int>("loaded_before");

    QTest::newRow("end of list") << "end of list" << 1;
    QTest::newRow("failure on the first file") << "failure" << 1;
    QTest::newRow("failure on the second file") << "failure" << 2;
}

void tst_package::operator_folder_survives()
{
    QFETCH(QString, teardown);
    QFETCH(int, loaded_before);

    const QStringList names{"MAIN_1", "GRID_2", "EVENT_3"};
    const auto entries = firmware_entries(names);
    const QString package = workspace->filePath(QStringLiteral("PKG.vkt"));
    QVERIFY(package_builder::write_package(package, entries));
    fill_operator_folder(workspace->filePath(QStringLiteral("PKG")), names);
    const Snapshot before = snapshot(workspace->path());

    QVERIFY(choose(package));
    for (int k = 1; k < loaded_before; ++k)
        invoke_read_archive();

    QCOMPARE(shown_counter(), QStringLiteral(" (%1 / 3)").arg(loaded_before));
    QCOMPARE(snapshot(workspace->path()), before);
    // The package went into a folder of the program's own, and its loaded files left it.
    const QStringList fresh = program_folders();
    QCOMPARE(fresh.size(), 1);
    const QString fresh_folder = program_temp + QLatin1Char('/') + fresh.first();
    QStringList left = names.mid(loaded_before);
    left.sort();
    QCOMPARE(file_names(fresh_folder), left);
    for (int i = loaded_before; i < names.size(); ++i)
        QCOMPARE(read_bytes(fresh_folder + QLatin1Char('/') + names.at(i)), entries.at(i).second);

    tear_down(teardown, names.size() - loaded_before);

    QCOMPARE(snapshot(workspace->path()), before);
    QCOMPARE(program_folders(), QStringList());
}

void tst_package::crafted_entries_stay_inside_data()
{
    QTest::addColumn<bool>("operator_folder");

    QTest::newRow("extraction folder free") << false;
    QTest::newRow("extraction folder taken") << true;
}

void tst_package::crafted_entries_stay_inside()
{
    QFETCH(bool, operator_folder);

    const QString nested = workspace->filePath(QStringLiteral("a/b"));
    QVERIFY(QDir().mkpath(nested));
    const QString absolute_target = workspace->filePath(QStringLiteral("abs/evil"));
    const QString package = nested + QStringLiteral("/PKG.vkt");
    QVERIFY(package_builder::write_package(package, {{"MAIN_1", package_builder::converted_firmware('A', 2)},
                                                     {"../evil", "evil\r"},
                                                     {"../../evil", "evil\r"},
                                                     {absolute_target, "evil\r"}}));
    if (operator_folder)
        fill_operator_folder(nested + QStringLiteral("/PKG"), {"MAIN_1"});
    const Snapshot before = snapshot(sandbox.path());

    QVERIFY(choose(package));

    QDirIterator it(sandbox.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QVERIFY2(!path.endsWith(QLatin1String("/evil")), qPrintable(path));
    }
    QVERIFY(!QFileInfo::exists(absolute_target));

    fail_update();
    QCOMPARE(snapshot(sandbox.path()), before);
}

void tst_package::rejected_choice_does_not_redirect_removal_data()
{
    QTest::addColumn<QString>("rejected");
    QTest::addColumn<QString>("teardown");

    QTest::newRow("upper-case extension, end of list") << "OPER.VKT"
                                                       << "end of list";
    QTest::newRow("upper-case extension, failure") << "OPER.VKT"
                                                   << "failure";
    QTest::newRow("cancelled, end of list") << QString() << "end of list";
    QTest::newRow("cancelled, failure") << QString() << "failure";
}

void tst_package::rejected_choice_does_not_redirect_removal()
{
    QFETCH(QString, rejected);
    QFETCH(QString, teardown);

    const QString good = workspace->filePath(QStringLiteral("GOOD.vkt"));
    QVERIFY(package_builder::write_package(good, firmware_entries({"MAIN_1", "GRID_2"})));
    // A cancelled choice leaves an empty path, whose derived folder would be the working directory.
    const QString operator_folder =
        workspace->filePath(rejected.isNull() ? QStringLiteral("cwd") : QStringLiteral("OPER"));
    fill_operator_folder(operator_folder, {"MAIN_1", "GRID_2"});
    QVERIFY(QDir::setCurrent(operator_folder));
    const Snapshot operator_files = snapshot(operator_folder);

    QVERIFY(choose(good));
    QVERIFY(QFileInfo(workspace->filePath(QStringLiteral("GOOD"))).isDir());
    QVERIFY(choose(rejected.isNull() ? QString() : workspace->filePath(rejected)));
    QCOMPARE(text_of("lineStatusArchive"), invalid_text);

    tear_down(teardown, 1);

    QCOMPARE(snapshot(operator_folder), operator_files);
    QVERIFY(!QFileInfo::exists(workspace->filePath(QStringLiteral("GOOD"))));
}

void tst_package::dot_named_package_keeps_its_directory_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("teardown");

    QTest::newRow("hidden name, end of list") << ".PKG.vkt"
                                              << "end of list";
    QTest::newRow("hidden name, failure") << ".PKG.vkt"
                                          << "failure";
    QTest::newRow("extension only, end of list") << ".vkt"
                                                 << "end of list";
    QTest::newRow("extension only, failure") << ".vkt"
                                             << "failure";
}

void tst_package::dot_named_package_keeps_its_directory()
{
    QFETCH(QString, name);
    QFETCH(QString, teardown);

    const QStringList names{"MAIN_1", "GRID_2"};
    fill_operator_folder(workspace->path(), names);
    QVERIFY(package_builder::write_package(workspace->filePath(name), firmware_entries(names)));
    const Snapshot before = snapshot(workspace->path());

    QVERIFY(choose(workspace->filePath(name)));
    QCOMPARE(shown_counter(), QStringLiteral(" (1 / 2)"));
    QCOMPARE(snapshot(workspace->path()), before);

    tear_down(teardown, 1);

    QCOMPARE(snapshot(workspace->path()), before);
    QCOMPARE(program_folders(), QStringList());
}

void tst_package::second_package_removes_only_first_extraction_data()
{
    QTest::addColumn<bool>("beside_first");
    QTest::addColumn<bool>("beside_second");

    QTest::newRow("no operator folders") << false << false;
    QTest::newRow("operator folder beside the first") << true << false;
    QTest::newRow("operator folder beside the second") << false << true;
    QTest::newRow("operator folders beside both") << true << true;
}

void tst_package::second_package_removes_only_first_extraction()
{
    QFETCH(bool, beside_first);
    QFETCH(bool, beside_second);

    const QStringList first_names{"MAIN_1", "GRID_2", "EVENT_3"};
    const QStringList second_names{"MAIN_1", "LOAD_2"};
    QVERIFY(
        package_builder::write_package(workspace->filePath(QStringLiteral("A.vkt")), firmware_entries(first_names)));
    QVERIFY(
        package_builder::write_package(workspace->filePath(QStringLiteral("B.vkt")), firmware_entries(second_names)));
    if (beside_first)
        fill_operator_folder(workspace->filePath(QStringLiteral("A")), first_names);
    if (beside_second)
        fill_operator_folder(workspace->filePath(QStringLiteral("B")), second_names);
    const Snapshot before = snapshot(workspace->path());

    QVERIFY(choose(workspace->filePath(QStringLiteral("A.vkt"))));
    QVERIFY(choose(workspace->filePath(QStringLiteral("B.vkt"))));

    QCOMPARE(shown_counter(), QStringLiteral(" (1 / 2)"));
    // Only the second package's working copy is left: beside it, or in a folder of the program's own.
    Snapshot expected = before;
    if (beside_second) {
        QCOMPARE(program_folders().size(), 1);
    } else {
        QCOMPARE(program_folders(), QStringList());
        expected.insert(QStringLiteral("B/"), QByteArray());
        expected.insert(QStringLiteral("B/LOAD_2"), firmware_entries(second_names).at(1).second);
    }
    QCOMPARE(snapshot(workspace->path()), expected);

    tear_down(QStringLiteral("end of list"), 1);

    QCOMPARE(snapshot(workspace->path()), before);
    QCOMPARE(program_folders(), QStringList());
}

QTEST_MAIN(tst_package)
#include "tst_package.moc"
