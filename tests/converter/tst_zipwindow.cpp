#include "converter/zipwindow.h"
#include "rules/firmware_rules.h"
#include "rules/package_signing.h"
#include "rules/package_trust.h"
#include "support/dialog_answer.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"

#include <JlCompress.h>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using Files = QMap<QString, QByteArray>;

namespace
{

const QString open_failed = QStringLiteral("Erro! Não foi possível abrir o arquivo");
const QString no_identifier = QStringLiteral("INFO: Identificador de arquivo não encontrado: b_MAIN.s19");
const QString bad_name = QStringLiteral("Erro! Firmware fora do padrão");
// S-record lines ending in CR LF, with bytes above 0x7F that no text codec may alter.
const QByteArray firmware = QByteArray("S00F000068656C6C6F202020200000003C\r\nS1\xE7\xFF"
                                       "0000\r\nS9030000FC\r\n");

} // namespace

class tst_zipwindow : public QObject
{
    Q_OBJECT

private slots:
    void conversion_data();
    void conversion();
    void line_ends();
    void signing_data();
    void signing();
};

// PACOTE, the working folder, holds a_GRID.s19, C_LOAD.s19 and each row's files (links, FIFOs, folders, sparse files)
// beside an operator's outside.s19; the folder chosen is PACOTE, one in it, or none. Only files the hint names change.
void tst_zipwindow::conversion_data()
{
    QTest::addColumn<Files>("files");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("info");
    QTest::addColumn<QString>("chosen");

    const auto row = [](const char* name, const Files& files, const QString& status, const QString& info = {},
                        const QString& chosen = "") { QTest::newRow(name) << files << status << info << chosen; };
    row("first byte zero", {{"b_MAIN.s19", QByteArray("\0S1", 3)}}, "Erro! Arquivo Não Selecionado", no_identifier);
    row("no board word", {{"b_firmware.s19", firmware}}, bad_name,
        "INFO: Nomeclatura do Firmware Incorreta: b_firmware.s19");
    row("no board word, a name too long for the hint", {{"b_firmware_for_the_master_and_panels_v2.s19", firmware}},
        bad_name, "INFO: Nomeclatura do Firmware Incorreta: b_firmware_for_the_master_and_panels_v2.s19");
    row("NUL byte", {{"b_MAIN.s19", QByteArray("S1\r\n\0", 5)}}, "Erro! Arquivo Inválido!",
        "INFO: Arquivo com byte nulo: b_MAIN.s19");
    row("link to a file outside", {{"b_MAIN.s19", "<link>"}}, open_failed);
    row("FIFO", {{"b_MAIN.s19", "<fifo>"}}, open_failed);
    row("file over the bound", {{"b_MAIN.s19", "<giant>"}}, "Erro! Arquivo grande demais");
    row("file at the bound: read, and its zeros found", {{"b_MAIN.s19", "<bound>"}}, "Erro! Arquivo Inválido!",
        "INFO: Arquivo com byte nulo: b_MAIN.s19");
    row("more files than a package holds", {{"0_BAT.s19", "<1000 more>"}}, "Erro! Pasta grande demais para um pacote");
    row("empty folder", {{"sub", "<folder>"}}, "Erro! A pasta não tem arquivos", {}, "sub");
    row("no folder chosen", {}, "Erro! Nenhuma pasta selecionada", {}, QString());
    // A file-size limit of 1 MB stands in for a full disk.
    row("write fails at the first file", {{"0_BAT.s19", QByteArray(2 << 20, 'S')}},
        "Erro! Não foi possível gravar o arquivo", "INFO: Nenhum arquivo foi alterado");
    row("package path is a link", {{"../PACOTE.vkt", "<link>"}}, "Erro! Não foi possível converter a pasta",
        "INFO: Já convertidos: a_GRID.s19, C_LOAD.s19");
}

void tst_zipwindow::conversion()
{
    QFETCH(Files, files);
    QFETCH(QString, status);
    QFETCH(QString, info);
    QFETCH(QString, chosen);
    QTemporaryDir root;
    const QString folder = root.filePath("PACOTE");
    QVERIFY(QDir().mkpath(folder) && write_file(root.filePath("outside.s19"), firmware));
    files.insert("a_GRID.s19", firmware);
    files.insert("C_LOAD.s19", firmware + "S5030002FA\r\n");
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = folder + '/' + it.key();
        QFile file(path);
        if (it.value() == "<link>")
            QVERIFY(QFile::link(root.filePath("outside.s19"), path));
        else if (it.value() == "<fifo>")
            QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (it.value() == "<folder>")
            QVERIFY(QDir().mkdir(path));
        else if (it.value() == "<1000 more>")
            for (int i = 0; i < 1000; ++i)
                QVERIFY(write_file(path + QString::number(i), firmware));
        else if (it.value().startsWith('<')) // a sparse file of zeros behind its first byte
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write("S") == 1 &&
                    file.resize(firmware_rules::largest_input + (it.value() == "<giant>" ? 1 : 0)));
        else
            QVERIFY(write_file(path, it.value()));
    }
    auto expected = package_builder::snapshot(root.path());
    zipwindow window;
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(folder));
    dialog_answer::answer_next_file_dialog(chosen.isNull() ? QString() : QDir(folder).filePath(chosen));
    window.findChild<QPushButton*>("searchButton")->click();
    rlimit saved{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    rlimit limited{1 << 20, saved.rlim_max};
    const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
    window.findChild<QPushButton*>("convertButton")->click();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous_handler);
    QDir::setCurrent(previous);

    // Both fields show the start of their text, "Erro!" first, and the hint fits its one line.
    const auto* status_field = window.findChild<QLineEdit*>("statusLineEdit");
    QCOMPARE(status_field->text(), status);
    const auto* path_field = window.findChild<QLineEdit*>("pathLineEdit");
    QCOMPARE(path_field->text(), chosen.isNull() ? QString() : QDir(folder).filePath(chosen));
    QCOMPARE(status_field->cursorPosition() + path_field->cursorPosition(), 0);
    const auto* label = window.findChild<QLabel*>("infoLabel");
    const QString shown = label->text();
    QCOMPARE(label->toolTip(), info);
    QVERIFY2(label->fontMetrics().horizontalAdvance(shown) <= label->width(), qPrintable(shown));
    QVERIFY2(shown == info || (shown.startsWith("INFO: ") && shown.endsWith(info.right(6)) && shown.contains(u'…')),
             qPrintable(shown));
    const QString changed = QStringLiteral("INFO: Já convertidos: ");
    for (const QString& name : info.startsWith(changed) ? info.mid(changed.size()).split(", ") : QStringList()) {
        QByteArray& bytes = expected["PACOTE/" + name];
        bytes = firmware_rules::convert(name, bytes).output;
    }
    QCOMPARE(package_builder::snapshot(root.path()), expected);
}

// The field's folder: LF, CR and mixed line ends, a last line without one, and a name without a board word. The refusal
// names that file; once it is gone, the success clears the hint and every file is what its CR LF twin gives.
void tst_zipwindow::line_ends()
{
    const Files files = {{"a_GRID.s19", QByteArray(firmware).replace("\r\n", "\n")},
                         {"b_LOAD.s19", QByteArray(firmware).replace("\r\n", "\r")},
                         {"c_MAIN.s19", QByteArray(firmware).replace("FC\r\n", "FC\n")},
                         {"d_PV.s19", firmware.chopped(2)},
                         {"panels.s19", firmware}};
    QTemporaryDir root;
    const QString folder = root.filePath("PACOTE");
    QVERIFY(QDir().mkpath(folder));
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QVERIFY(write_file(folder + '/' + it.key(), it.value()));
    zipwindow window;
    dialog_answer::answer_next_file_dialog(folder);
    window.findChild<QPushButton*>("searchButton")->click();
    auto* convert = window.findChild<QPushButton*>("convertButton");
    convert->click();
    QCOMPARE(window.findChild<QLineEdit*>("statusLineEdit")->text(), bad_name);
    QCOMPARE(window.findChild<QLabel*>("infoLabel")->toolTip(), "INFO: Nomeclatura do Firmware Incorreta: panels.s19");

    QVERIFY(QFile::remove(folder + "/panels.s19"));
    convert->click();
    QCOMPARE(window.findChild<QLineEdit*>("statusLineEdit")->text(), QStringLiteral("Arquivo gerado com sucesso!"));
    QCOMPARE(window.findChild<QLabel*>("infoLabel")->text() + window.findChild<QLabel*>("infoLabel")->toolTip(), "");
    const auto after = package_builder::snapshot(root.path());
    for (const QString& name : files.keys().mid(0, 4)) {
        const QByteArray& bytes = after["PACOTE/" + name];
        QCOMPARE(bytes, firmware_rules::convert(name, firmware).output);
        QVERIFY(firmware_rules::check_received(package_builder::cr_lines(bytes)).isEmpty());
    }
    // The package beside the folder holds exactly the rewritten files.
    QTemporaryDir unpacked;
    QCOMPARE(JlCompress::extractDir(root.filePath("PACOTE.vkt"), unpacked.path()).size(), 4);
    for (const QString& name : files.keys().mid(0, 4))
        QCOMPARE(package_builder::snapshot(unpacked.path()).value(name), after["PACOTE/" + name]);
}

void tst_zipwindow::signing_data()
{
    QTest::addColumn<QByteArray>("password"); // the signing key's; null: no key at all
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("info"); // %1: the key's ID
    QTest::newRow("no key") << QByteArray() << "Arquivo gerado com sucesso!"
                            << "";
    QTest::newRow("a key") << QByteArray("") << "Arquivo gerado com sucesso!"
                           << "INFO: Assinado pela chave %1";
    QTest::newRow("a key with a password") << QByteArray("s3nha") << "Erro! Pacote gerado sem assinatura"
                                           << "INFO: Chave de assinatura inutilizável (com senha?): signing.key";
}

// The package is signed with the user's key when there is one, and a signature left from an older package of the same
// name never stays beside the new one.
void tst_zipwindow::signing()
{
    QFETCH(QByteArray, password);
    QFETCH(QString, status);
    QFETCH(QString, info);
    QTemporaryDir root;
    const QByteArray config_before = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(root.filePath("config")));
    const package_signature::KeyPair key = package_signature::new_key_pair();
    const QString key_path = package_signing::converter_key_path();
    QVERIFY(QDir().mkpath(QFileInfo(key_path).path()) && QDir().mkpath(root.filePath("PACOTE")));
    if (!password.isNull())
        QVERIFY(
            write_file(key_path, minisign_files::secret_key_file(package_signature::seal(key, password, 1, 1 << 24))));
    const QString package = root.filePath("PACOTE.vkt");
    QVERIFY(write_file(root.filePath("PACOTE/a_GRID.s19"), firmware) && write_file(package + ".minisig", "old"));
    zipwindow window;
    dialog_answer::answer_next_file_dialog(root.filePath("PACOTE"));
    window.findChild<QPushButton*>("searchButton")->click();
    window.findChild<QPushButton*>("convertButton")->click();
    qputenv("XDG_CONFIG_HOME", config_before);

    QCOMPARE(window.findChild<QLineEdit*>("statusLineEdit")->text(), status);
    const QString key_id = minisign_files::key_id_text(key.key_id);
    QCOMPARE(window.findChild<QLabel*>("infoLabel")->toolTip(), QString(info).replace("%1", key_id));
    package_trust::TrustStore trust;
    trust.enforcing = true;
    trust.keys = {key.public_key()};
    const package_trust::Verdict verdict = package_trust::read(package, trust).verdict;
    QCOMPARE(verdict.reason, info.contains("%1") ? QString() : QStringLiteral("unsigned"));
    QCOMPARE(verdict.trusted_comment.section(';', 0, 1),
             info.contains("%1") ? "equipamento: PACOTE.vkt; arquivos (1): a_GRID.s19" : "");
}

QTEST_MAIN(tst_zipwindow)
#include "tst_zipwindow.moc"
