#include "converter/firmware_rules.h"
#include "converter/zipwindow.h"
#include "support/dialog_answer.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

using firmware_rules::rewritten;

namespace
{

const QString text_success = QStringLiteral("Arquivo gerado com sucesso!");
const QString text_no_folder = QStringLiteral("Erro! Nenhuma pasta selecionada");
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
    void no_folder_refuses_conversion();
    void failed_write_keeps_original();

private:
    QString status() const { return window->findChild<QLineEdit*>("statusLineEdit")->text(); }
    QString info() const { return window->findChild<QLabel*>("infoLabel")->text(); }
    // Presses "PROCURAR" and answers the folder dialog; a null path cancels it.
    void choose_folder(const QString& path);
    void convert() { QTest::mouseClick(window->findChild<QPushButton*>("convertButton"), Qt::LeftButton); }
    // A folder beside which the package lands, alone in a fresh directory.
    QString make_folder(const QMap<QString, QByteArray>& files);
    QString package() const { return root->filePath("PACOTE.vkt"); }

    std::unique_ptr<QTemporaryDir> root;
    std::unique_ptr<zipwindow> window;
};

void tst_zipwindow::init()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY(root->isValid());
    window = std::make_unique<zipwindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void tst_zipwindow::cleanup()
{
    window.reset();
    root.reset();
}

void tst_zipwindow::choose_folder(const QString& path)
{
    dialog_answer::answer_next_file_dialog(path);
    QTest::mouseClick(window->findChild<QPushButton*>("searchButton"), Qt::LeftButton);
    QCOMPARE(window->findChild<QLineEdit*>("pathLineEdit")->text(), path);
}

QString tst_zipwindow::make_folder(const QMap<QString, QByteArray>& files)
{
    const QString folder = root->filePath(QStringLiteral("PACOTE"));
    QDir().mkpath(folder);
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        write_file(folder + '/' + it.key(), it.value());
    return folder;
}

void tst_zipwindow::conversion_writes_package_beside_folder()
{
    const QString folder =
        make_folder({{"GRID_v1.s19", firmware}, {"display.s19", firmware + "S5030001FB\r\n"}, {"Event.S19", "S0"}});
    const QMap<QString, QByteArray> expected{{"GRID_v1.s19", rewritten(firmware, 'A')},
                                             {"display.s19", rewritten(firmware + "S5030001FB\r\n", '3')},
                                             {"Event.S19", rewritten("S0", 'F')}};
    choose_folder(folder);
    convert();

    QCOMPARE(status(), text_success);
    QCOMPARE(info(), QString());
    QMap<QString, QByteArray> in_folder;
    QMap<QString, QByteArray> in_package;
    for (const QString& name : names_in(folder))
        in_folder.insert(name, file_bytes(folder + '/' + name));
    for (const QString& name : package_builder::entry_names(package()))
        in_package.insert(name, package_builder::entry_data(package(), name));
    QCOMPARE(in_folder, expected);
    QCOMPARE(in_package, expected);
}

void tst_zipwindow::failure_stops_at_that_file_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("is_folder");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("status_text");
    QTest::addColumn<QString>("info_text");

    const QString zero_first_byte = QStringLiteral("Erro! Arquivo Não Selecionado");
    QTest::newRow("first byte zero") << "b_MAIN.s19" << false << QByteArray("\0S1", 3) << zero_first_byte
                                     << info_no_identifier;
    QTest::newRow("empty file") << "b_MAIN.s19" << false << QByteArray() << zero_first_byte << info_no_identifier;
    QTest::newRow("invalid content, checked before the name")
        << "b_firmware.s19" << false << QByteArray(":10000000") << text_invalid_first_byte << info_no_identifier;
    QTest::newRow("no board word") << "b_firmware.s19" << false << firmware << text_bad_name << info_bad_name;
    QTest::newRow("subfolder") << "b_MAIN" << true << firmware
                               << QStringLiteral("Erro! Não foi possível abrir o arquivo") << QString();
}

void tst_zipwindow::failure_stops_at_that_file()
{
    QFETCH(QString, name);
    QFETCH(bool, is_folder);
    QFETCH(QByteArray, content);
    QFETCH(QString, status_text);
    QFETCH(QString, info_text);
    const QByteArray later = firmware + "S5030002FA\r\n";
    const QString folder = make_folder({{"a_GRID.s19", firmware}, {"C_LOAD.s19", later}});
    // A subfolder holds a valid firmware file of its own, which must stay untouched as well.
    const QString failing = folder + '/' + name + (is_folder ? "/inner_MAIN.s19" : "");
    QVERIFY(QDir().mkpath(QFileInfo(failing).path()));
    QVERIFY(write_file(failing, content));

    choose_folder(folder);
    convert();

    QCOMPARE(status(), status_text);
    QCOMPARE(info(), info_text);
    QCOMPARE(file_bytes(folder + "/a_GRID.s19"), rewritten(firmware, 'A'));
    QCOMPARE(file_bytes(failing), content);
    QCOMPARE(file_bytes(folder + "/C_LOAD.s19"), later);
    QVERIFY(!QFile::exists(package()));
}

void tst_zipwindow::empty_folder_gives_empty_package()
{
    choose_folder(make_folder({}));
    convert();
    QCOMPARE(status(), text_success);
    QVERIFY(QFile::exists(package()));
    QVERIFY(package_builder::entry_names(package()).isEmpty());
}

// Showing the window again clears the three texts but keeps the folder; nothing else clears a
// hint left by an earlier failure, not even a later success.
void tst_zipwindow::converting_twice_stops_at_first_file()
{
    const QString folder = make_folder({{"firmware.s19", firmware}, {"TFT.s19", firmware}});
    choose_folder(folder);
    convert();
    QCOMPARE(info(), info_bad_name);
    QVERIFY(QFile::rename(folder + "/firmware.s19", folder + "/BAT.s19"));
    convert();
    QCOMPARE(status(), text_success);
    QCOMPARE(info(), info_bad_name);
    QVERIFY(QFile::remove(package()));

    window->clear_fields();
    QCOMPARE(window->findChild<QLineEdit*>("pathLineEdit")->text(), QString());
    QCOMPARE(status(), QString());
    QCOMPARE(info(), QString());

    convert();
    QCOMPARE(status(), text_invalid_first_byte);
    QCOMPARE(info(), info_no_identifier);
    QCOMPARE(file_bytes(folder + "/BAT.s19"), rewritten(firmware, 'E'));
    QCOMPARE(file_bytes(folder + "/TFT.s19"), rewritten(firmware, '3'));
    QVERIFY(!QFile::exists(package()));
}

// Without a chosen folder the empty path would name the working directory; its files must stay
// as they are, also after a cancelled dialog has replaced an earlier choice.
void tst_zipwindow::no_folder_refuses_conversion()
{
    const QString folder = make_folder({{"GRID.s19", firmware}});
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(folder));
    convert();
    const QString fresh_window_status = status();
    choose_folder(folder);
    choose_folder(QString());
    convert();
    QDir::setCurrent(previous);

    QCOMPARE(fresh_window_status, text_no_folder);
    QCOMPARE(status(), text_no_folder);
    QCOMPARE(names_in(root->path()), QStringList{"PACOTE"});
    QCOMPARE(names_in(folder), QStringList{"GRID.s19"});
    QCOMPARE(file_bytes(folder + "/GRID.s19"), firmware);
}

// A file-size limit stands in for a disk that fills up half way through a rewrite.
void tst_zipwindow::failed_write_keeps_original()
{
    constexpr int size_limit = 1 << 20;
    QByteArray large;
    while (large.size() < 4 * size_limit)
        large += firmware;
    const QString folder = make_folder({{"a_GRID.s19", firmware}, {"b_LOAD.s19", large}, {"c_MAIN.s19", firmware}});
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

    QCOMPARE(status(), QStringLiteral("Erro! Não foi possível gravar o arquivo"));
    QCOMPARE(file_bytes(folder + "/a_GRID.s19"), rewritten(firmware, 'A'));
    QVERIFY(file_bytes(folder + "/b_LOAD.s19") == large);
    QCOMPARE(file_bytes(folder + "/c_MAIN.s19"), firmware);
    // No temporary copy is left behind either.
    QCOMPARE(names_in(folder).size(), 3);
    QVERIFY(!QFile::exists(package()));
}

QTEST_MAIN(tst_zipwindow)
#include "tst_zipwindow.moc"
