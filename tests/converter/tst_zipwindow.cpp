#include "converter/firmware_rules.h"
#include "converter/zipwindow.h"

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace
{

const QString text_success = QStringLiteral("Arquivo gerado com sucesso!");
const QString text_no_folder = QStringLiteral("Erro! Nenhuma pasta selecionada");
const QString text_open_failed = QStringLiteral("Erro! Não foi possível abrir o arquivo");
const QString text_write_failed = QStringLiteral("Erro! Não foi possível gravar o arquivo");
const QString text_zero_first_byte = QStringLiteral("Erro! Arquivo Não Selecionado");
const QString text_invalid_first_byte = QStringLiteral("Erro! Arquivo Inválido!");
const QString text_bad_name = QStringLiteral("Erro! Firmware fora do padrão");
const QString info_no_identifier = QStringLiteral("INFO: Identificador de arquivo não encontrado");
const QString info_bad_name = QStringLiteral("INFO: Nomeclatura do Firmware Incorreta");

// S-record lines ending in CR LF, with bytes above 0x7F that no text codec may alter.
const QByteArray firmware = QByteArray("S00F000068656C6C6F202020200000003C\r\n"
                                       "S11F00007C0802A6900100049421FFF07C6C1B787C8C23783C6000003863000026\r\n"
                                       "S1\xE7\xFF"
                                       "0000\r\n"
                                       "S9030000FC\r\n");

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

// Name -> content of every entry of a package; entries are expected at the top level.
QMap<QString, QByteArray> package_entries(const QString& path)
{
    QMap<QString, QByteArray> entries;
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdUnzip))
        return entries;
    for (bool more = zip.goToFirstFile(); more; more = zip.goToNextFile()) {
        QuaZipFile entry(&zip);
        if (entry.open(QIODevice::ReadOnly))
            entries.insert(zip.getCurrentFileName(), entry.readAll());
    }
    return entries;
}

} // namespace

class tst_zipwindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void conversion_writes_package_beside_folder();
    void failure_stops_at_that_file_data();
    void failure_stops_at_that_file();
    void converting_twice_stops_at_first_file();
    void empty_folder_gives_empty_package();
    void reopening_clears_texts_but_keeps_folder();
    void no_folder_refuses_conversion();
    void failed_write_keeps_original();

private:
    QLineEdit* status() const { return window->findChild<QLineEdit*>(QStringLiteral("statusLineEdit")); }
    QLineEdit* path_field() const { return window->findChild<QLineEdit*>(QStringLiteral("pathLineEdit")); }
    QLabel* info() const { return window->findChild<QLabel*>(QStringLiteral("infoLabel")); }
    QPushButton* button(const char* name) const { return window->findChild<QPushButton*>(QLatin1String(name)); }

    // Presses "PROCURAR" and answers the folder dialog; an empty path cancels it.
    void choose_folder(const QString& path);
    void convert() { QTest::mouseClick(button("convertButton"), Qt::LeftButton); }

    // A folder named PACOTE inside a fresh temporary directory, so the package lands beside it.
    QString make_folder(const QMap<QString, QByteArray>& files);
    QString package_of(const QString& folder) const { return folder + QStringLiteral(".vkt"); }

    zipwindow* window = nullptr;
    QTemporaryDir* root = nullptr;
};

void tst_zipwindow::init()
{
    root = new QTemporaryDir;
    QVERIFY(root->isValid());
    window = new zipwindow;
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
}

void tst_zipwindow::cleanup()
{
    delete window;
    window = nullptr;
    delete root;
    root = nullptr;
}

void tst_zipwindow::choose_folder(const QString& path)
{
    bool answered = false;
    QTimer timer;
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, this, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        timer.stop();
        answered = true;
        if (path.isEmpty()) {
            dialog->reject();
            return;
        }
        // With nothing typed or selected, a folder dialog returns the folder it shows.
        dialog->setDirectory(path);
        dialog->selectFile(QString());
        // QFileDialog hides accept(); through QDialog it still runs the dialog's own checks.
        static_cast<QDialog*>(dialog)->accept();
    });
    timer.start();
    QTest::mouseClick(button("searchButton"), Qt::LeftButton);
    QVERIFY(answered);
    QCOMPARE(path_field()->text(), path);
}

QString tst_zipwindow::make_folder(const QMap<QString, QByteArray>& files)
{
    const QString folder = root->filePath(QStringLiteral("PACOTE"));
    QDir().mkpath(folder);
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        write_bytes(folder + '/' + it.key(), it.value());
    return folder;
}

void tst_zipwindow::conversion_writes_package_beside_folder()
{
    const QMap<QString, QByteArray> files = {
        {QStringLiteral("GRID_v1.s19"), firmware},
        {QStringLiteral("display.s19"), firmware + "S5030001FB\r\n"},
        {QStringLiteral("Event.S19"), QByteArray("S0")},
    };
    const QString folder = make_folder(files);
    choose_folder(folder);
    convert();

    QCOMPARE(status()->text(), text_success);
    QCOMPARE(info()->text(), QString());
    QMap<QString, QByteArray> expected;
    expected.insert(QStringLiteral("GRID_v1.s19"), firmware_rules::rewritten(files.value("GRID_v1.s19"), 'A'));
    expected.insert(QStringLiteral("display.s19"), firmware_rules::rewritten(files.value("display.s19"), '3'));
    expected.insert(QStringLiteral("Event.S19"), firmware_rules::rewritten(files.value("Event.S19"), 'F'));
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(read_bytes(folder + '/' + it.key()), it.value());
    QCOMPARE(package_entries(root->filePath(QStringLiteral("PACOTE.vkt"))), expected);
}

void tst_zipwindow::failure_stops_at_that_file_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("is_folder");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("status_text");
    QTest::addColumn<QString>("info_text");

    QTest::newRow("first byte zero") << "b_MAIN.s19" << false << QByteArray("\0S1", 3) << text_zero_first_byte
                                     << info_no_identifier;
    QTest::newRow("empty file") << "b_MAIN.s19" << false << QByteArray() << text_zero_first_byte << info_no_identifier;
    QTest::newRow("first byte not S") << "b_MAIN.s19" << false << QByteArray(":10000000") << text_invalid_first_byte
                                      << info_no_identifier;
    QTest::newRow("invalid content wins over bad name")
        << "b_firmware.s19" << false << QByteArray(":10000000") << text_invalid_first_byte << info_no_identifier;
    QTest::newRow("no board word") << "b_firmware.s19" << false << firmware << text_bad_name << info_bad_name;
    QTest::newRow("subfolder") << "b_MAIN" << true << firmware << text_open_failed << QString();
}

void tst_zipwindow::failure_stops_at_that_file()
{
    QFETCH(QString, name);
    QFETCH(bool, is_folder);
    QFETCH(QByteArray, content);
    QFETCH(QString, status_text);
    QFETCH(QString, info_text);

    const QByteArray later = firmware + "S5030002FA\r\n";
    const QString folder =
        make_folder({{QStringLiteral("a_GRID.s19"), firmware}, {QStringLiteral("C_LOAD.s19"), later}});
    // A subfolder holds a valid firmware file of its own, which must stay untouched as well.
    const QString failing = is_folder ? folder + '/' + name + QStringLiteral("/inner_MAIN.s19") : folder + '/' + name;
    QVERIFY(QDir().mkpath(QFileInfo(failing).path()));
    QVERIFY(write_bytes(failing, content));

    choose_folder(folder);
    convert();

    QCOMPARE(status()->text(), status_text);
    QCOMPARE(info()->text(), info_text);
    QCOMPARE(read_bytes(folder + QStringLiteral("/a_GRID.s19")), firmware_rules::rewritten(firmware, 'A'));
    QCOMPARE(read_bytes(failing), content);
    QCOMPARE(read_bytes(folder + QStringLiteral("/C_LOAD.s19")), later);
    QVERIFY(!QFile::exists(package_of(folder)));
}

void tst_zipwindow::converting_twice_stops_at_first_file()
{
    const QString folder = make_folder({{QStringLiteral("MAIN.s19"), firmware}, {QStringLiteral("TFT.s19"), firmware}});
    choose_folder(folder);
    convert();
    QCOMPARE(status()->text(), text_success);
    QVERIFY(QFile::remove(package_of(folder)));

    convert();
    QCOMPARE(status()->text(), text_invalid_first_byte);
    QCOMPARE(info()->text(), info_no_identifier);
    QCOMPARE(read_bytes(folder + QStringLiteral("/MAIN.s19")), firmware_rules::rewritten(firmware, 'C'));
    QCOMPARE(read_bytes(folder + QStringLiteral("/TFT.s19")), firmware_rules::rewritten(firmware, '3'));
    QVERIFY(!QFile::exists(package_of(folder)));
}

void tst_zipwindow::empty_folder_gives_empty_package()
{
    const QString folder = make_folder({});
    choose_folder(folder);
    convert();
    QCOMPARE(status()->text(), text_success);
    QVERIFY(QFile::exists(package_of(folder)));
    QVERIFY(package_entries(package_of(folder)).isEmpty());
}

// Showing the window again clears the three texts but keeps the folder; nothing else clears a hint left by an
// earlier failure, not even a later success.
void tst_zipwindow::reopening_clears_texts_but_keeps_folder()
{
    const QString folder = make_folder({{QStringLiteral("firmware.s19"), firmware}});
    choose_folder(folder);
    convert();
    QCOMPARE(info()->text(), info_bad_name);

    QVERIFY(QFile::rename(folder + QStringLiteral("/firmware.s19"), folder + QStringLiteral("/BAT.s19")));
    convert();
    QCOMPARE(status()->text(), text_success);
    QCOMPARE(info()->text(), info_bad_name);
    QCOMPARE(read_bytes(folder + QStringLiteral("/BAT.s19")), firmware_rules::rewritten(firmware, 'E'));

    window->clear_fields();
    QCOMPARE(path_field()->text(), QString());
    QCOMPARE(status()->text(), QString());
    QCOMPARE(info()->text(), QString());

    // Still the same folder, now converted: a second run stops at its first file instead of refusing.
    convert();
    QCOMPARE(status()->text(), text_invalid_first_byte);
}

// Without a chosen folder the empty path would name the working directory; its files must stay as they are,
// also after a cancelled dialog has replaced an earlier choice.
void tst_zipwindow::no_folder_refuses_conversion()
{
    const QString folder = make_folder({{QStringLiteral("GRID.s19"), firmware}});
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(folder));
    convert();
    const QString fresh_window_status = status()->text();
    choose_folder(folder);
    choose_folder(QString());
    convert();
    QDir::setCurrent(previous);

    QCOMPARE(fresh_window_status, text_no_folder);
    QCOMPARE(status()->text(), text_no_folder);
    QCOMPARE(read_bytes(folder + QStringLiteral("/GRID.s19")), firmware);
    QCOMPARE(QDir(root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"PACOTE"});
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"GRID.s19"});
}

// A write that fails half way (here a file-size limit standing in for a full disk) must leave the operator's
// bytes as they were, with no stray temporary file in the folder.
void tst_zipwindow::failed_write_keeps_original()
{
#ifdef Q_OS_UNIX
    constexpr int size_limit = 1 << 20;
    QByteArray large;
    while (large.size() < 4 * size_limit)
        large += firmware;
    const QString folder = make_folder({{QStringLiteral("a_GRID.s19"), firmware},
                                        {QStringLiteral("b_LOAD.s19"), large},
                                        {QStringLiteral("c_MAIN.s19"), firmware}});
    choose_folder(folder);

    rlimit saved{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    rlimit limited = saved;
    limited.rlim_cur = size_limit;
    const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
    convert();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous_handler);

    QCOMPARE(status()->text(), text_write_failed);
    QCOMPARE(read_bytes(folder + QStringLiteral("/a_GRID.s19")), firmware_rules::rewritten(firmware, 'A'));
    QVERIFY(read_bytes(folder + QStringLiteral("/b_LOAD.s19")) == large);
    QCOMPARE(read_bytes(folder + QStringLiteral("/c_MAIN.s19")), firmware);
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(), 3);
    QVERIFY(!QFile::exists(package_of(folder)));
#else
    QSKIP("needs a per-process file-size limit");
#endif
}

QTEST_MAIN(tst_zipwindow)
#include "tst_zipwindow.moc"
