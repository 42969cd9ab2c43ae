#include "app/mainwindow.h"
#include "support/fake_bootloader.h"
#include "support/package_builder.h"
#include "support/window_under_test.h"
#include "widgets/popup.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <vector>

using Link = FakeBootloader::Link;
using Kind = FakeBootloader::Received::Kind;
using Reply = FakeBootloader::Reply;
using Clock = FakeBootloader::Clock;

Q_DECLARE_METATYPE(FakeBootloader::Link)

namespace
{

const QString sending_text = QString::fromUtf8("Enviando dados...");
const QString success_text = QString::fromUtf8("Operação realizada com Sucesso!");
const QString finishing_text = QString::fromUtf8("Finalizando Procedimento...");
const QString interrupted_text = QString::fromUtf8("Comunicação interrompida!");
const QString link_lost_text = QString::fromUtf8("Conexão com o equipamento perdida!");
const QString transfer_running_text = QString::fromUtf8("Erro! Envio em andamento, aguarde o fim do arquivo");

// Every firmware file ends with a record the program must never send: it has no CR.
const QByteArray unterminated_tail = "S9030000FC";
// The equipment name is in front of the '#'; the extraction folder is the name before the '.'.
const QString package_name = QStringLiteral("Linha_X#rev2.vkt");

// Generous: sanitizer builds on a busy machine run several times slower.
constexpr int run_timeout_ms = 60000;
constexpr int step_timeout_ms = 6000;

constexpr int base_baud = 19200;
constexpr int uart_data_baud = 38400;
constexpr int usb_pause_ms = 3;
constexpr int uart_pause_ms = 25;
// The program holds the port closed this long after confirming a file named "EVENT".
constexpr int event_port_pause_ms = 5000;

QByteArray firmware(char board, int records, const QByteArray& tag)
{
    return package_builder::converted_firmware(board, records, tag) + unterminated_tail;
}

int line_total(const QByteArray& content)
{
    return static_cast<int>(package_builder::cr_lines(content).size());
}

// What the simulator received, one entry per token or line, in a form QCOMPARE prints readably.
QList<QByteArray> transcript(const FakeBootloader& sim)
{
    QList<QByteArray> entries;
    for (const FakeBootloader::Received& r : sim.received()) {
        switch (r.kind) {
        case Kind::token:
            entries.append("<" + r.bytes + ">");
            break;
        case Kind::line:
            entries.append(r.bytes);
            break;
        case Kind::stray:
            entries.append("stray:" + r.bytes);
            break;
        }
    }
    return entries;
}

// The transcript of a package sent whole: each file's lines behind its "#B_STR", then "#B_END".
QList<QByteArray> whole_package(const QList<QByteArray>& files)
{
    QList<QByteArray> entries;
    for (const QByteArray& content : files) {
        entries.append("<#B_STR>");
        entries.append(package_builder::cr_lines(content));
    }
    entries.append("<#B_END>");
    return entries;
}

// Collects the program's debug lines about writes it could not make.
QStringList failed_writes;
QtMessageHandler previous_handler = nullptr;

void capture_failed_writes(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (text.contains(QLatin1String("Failed to write the data to port")))
        failed_writes.append(text);
    if (previous_handler)
        previous_handler(type, context, text);
}

// Rejects every file dialog that opens while it lives, counting them: a dialog that should never
// have opened must not block the test either.
class DialogRefuser
{
public:
    DialogRefuser()
    {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                ++opened;
                dialog->reject();
            }
        });
        timer.start();
    }
    int opened = 0;

private:
    QTimer timer;
};

struct Shown {
    int progress;
    QString status;
    Clock::time_point at;
};

} // namespace

class tst_update_protocol : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void complete_package_data();
    void complete_package();
    void run_ends_data();
    void run_ends();
    void failure_after_line_stops_transfer_data();
    void failure_after_line_stops_transfer();
    void event_file_waits_for_restart();
    void reset_reopens_line();
    void split_replies_are_taken_whole();
    void equipment_vanishes_during_transfer();
    void equipment_vanishes_during_reset();
    void teardown_before_any_package_removes_nothing();

    // Re-entrancy: messages and operator actions handled inside a transmission's pause.
    void confirmation_during_transmission();
    void second_data_request_restarts_file();
    void disconnect_during_pause();
    void package_choice_refused_during_transfer();

private:
    QString status() const { return ui->text("statusBootloader"); }
    int progress() const { return ui->widget<QProgressBar>("progressBar")->value(); }
    QString info() const { return ui->text("info"); }
    QAbstractButton* init_button() const
    {
        return ui->popup->findChild<QAbstractButton*>(QStringLiteral("initButton"));
    }

    QString package_path() const { return root->filePath(package_name); }
    [[nodiscard]] bool make_package(const QList<package_builder::Entry>& entries);
    [[nodiscard]] bool open_package();
    void start() { init_button()->click(); }
    // Connects, opens the package and presses "Iniciar".
    [[nodiscard]] bool begin(const QList<package_builder::Entry>& entries);

    // The dialog is reset and closed, the extraction is gone and the package itself is untouched.
    void verify_torn_down() const;
    void verify_disconnected_look() const;

    QTemporaryDir* root = nullptr;
    FakeBootloader* sim = nullptr;
    WindowUnderTest* ui = nullptr;
    QByteArray package_bytes;
    QList<Shown> shown;
};

void tst_update_protocol::init()
{
    root = new QTemporaryDir;
    QVERIFY(root->isValid());
    sim = new FakeBootloader;
    QVERIFY(sim->is_valid());
    ui = new WindowUnderTest;
    ui->window->show();

    shown.clear();
    connect(ui->widget<QProgressBar>("progressBar"), &QProgressBar::valueChanged, this, [this](int value) {
        shown.append({value, status(), Clock::now()});
    });
}

void tst_update_protocol::cleanup()
{
    // The simulator goes first: once its thread has stopped nothing is posted to the window.
    delete sim;
    sim = nullptr;
    delete ui;
    ui = nullptr;
    delete root;
    root = nullptr;
}

bool tst_update_protocol::make_package(const QList<package_builder::Entry>& entries)
{
    if (!package_builder::write_package(package_path(), entries))
        return false;
    package_bytes = file_bytes(package_path());
    return true;
}

bool tst_update_protocol::open_package()
{
    return ui->choose_package(package_path()) && ui->text("lineStatusArchive") == QLatin1String("Arquivo Validado") &&
           ui->popup->isVisible();
}

bool tst_update_protocol::begin(const QList<package_builder::Entry>& entries)
{
    if (!make_package(entries) || !ui->connect_to(sim->terminal()) || !open_package())
        return false;
    start();
    return true;
}

void tst_update_protocol::verify_torn_down() const
{
    QVERIFY(!ui->popup->isVisible());
    QVERIFY(!ui->popup->is_started());
    QVERIFY(init_button()->isEnabled());
    QCOMPARE(names_in(root->path()), QStringList{package_name});
    QCOMPARE(file_bytes(package_path()), package_bytes);
}

void tst_update_protocol::verify_disconnected_look() const
{
    QCOMPARE(ui->text("connectButton"), QStringLiteral("CONECTAR"));
    QCOMPARE(ui->text("statusConnect"), QStringLiteral("DESCONECTADO"));
    QVERIFY(ui->widget("boxSerial")->isEnabled());
    QVERIFY(!ui->widget("archiveGroupBox")->isEnabled());
    QVERIFY(!ui->widget("boxStatus")->isEnabled());
    QCOMPARE(status(), QString());
    QCOMPARE(progress(), 0);
}

void tst_update_protocol::complete_package_data()
{
    QTest::addColumn<Link>("link");
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("data_baud");
    QTest::addColumn<int>("pause_ms");

    // Enough lines per file that the average pause is measured over a long span.
    QTest::newRow("USB") << Link::usb << 60 << base_baud << usb_pause_ms;
    QTest::newRow("UART") << Link::uart << 20 << uart_data_baud << uart_pause_ms;
}

void tst_update_protocol::complete_package()
{
    QFETCH(Link, link);
    QFETCH(int, records);
    QFETCH(int, data_baud);
    QFETCH(int, pause_ms);

    const QList<QByteArray> files = {firmware('C', records, "S1"), firmware('A', records + 1, "S2"),
                                     firmware('B', records + 2, "S3")};
    sim->accept_files(link, {line_total(files[0]), line_total(files[1]), line_total(files[2])});
    QVERIFY(begin({{"MAIN_1.s19", files[0]}, {"GRID_2.s19", files[1]}, {"LOAD_3.s19", files[2]}}));

    QVERIFY(sim->wait_for_token("#B_END", run_timeout_ms));
    QCOMPARE(transcript(*sim), whole_package(files));
    QCOMPARE(sim->unterminated(), QByteArray());

    for (const FakeBootloader::Received& r : sim->received()) {
        const int expected = r.kind == Kind::line ? data_baud : base_baud;
        QVERIFY2(r.baud == expected,
                 qPrintable(QStringLiteral("%1 at %2 baud").arg(QString(r.bytes.toPercentEncoding())).arg(r.baud)));
    }
    QTRY_COMPARE(sim->baud(), base_baud);

    // Line starts lie at least one pause apart. The reader stamps a line late whenever its thread
    // was held up, and one late stamp at either end of a file would move a plain average by more
    // than the program's margin over the pause; the median of the rates between every two lines of
    // a file is not moved by a few late stamps.
    std::vector<double> rates;
    for (int file = 0; file < files.size(); ++file) {
        const QList<FakeBootloader::Received> lines = sim->line_records(file);
        for (int i = 0; i < lines.size(); ++i) {
            for (int j = i + 1; j < lines.size(); ++j)
                rates.push_back(ms_between(lines[i].at, lines[j].at) / (j - i));
        }
    }
    std::nth_element(rates.begin(), rates.begin() + static_cast<long>(rates.size() / 2), rates.end());
    const double pace_ms = rates[rates.size() / 2];
    QVERIFY2(pace_ms >= pause_ms, qPrintable(QString::number(pace_ms)));

    QTRY_VERIFY(!ui->popup->isVisible());
    verify_torn_down();
    QCOMPARE(status(), success_text + QStringLiteral(" (3 / 3)"));
    QCOMPARE(progress(), 100);
    QList<int> progress_seen;
    for (const Shown& s : shown)
        progress_seen.append(s.progress);
    const QList<int> per_file = {1, 50, 90, 95, 100};
    QCOMPARE(progress_seen, per_file + per_file + per_file);
    QCOMPARE(shown.at(5).status, QStringLiteral("Bootloader Iniciado (2 / 3)"));
    QCOMPARE(shown.at(6).status, sending_text + QStringLiteral(" (2 / 3)"));
}

void tst_update_protocol::run_ends_data()
{
    QTest::addColumn<Link>("link");
    QTest::addColumn<QByteArray>("script"); // "data": announce, request, progress 40 and then the reply
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("text"); // null: nothing is shown, the status stays as it was

    const QByteArray data = "data";
    auto row = [&](const char* name, Link link, const QByteArray& reply, const QString& text) {
        QTest::newRow(name) << link << data << reply << text;
    };
    for (const FakeBootloader::Failure& failure : FakeBootloader::failures())
        row(failure.name, Link::usb, failure.reply, failure.text);
    row("CRC over UART", Link::uart, "#B_CRC", QString::fromUtf8("Erro de Checksum!"));
    row("FR with an unknown letter keeps the UART rate", Link::uart, "#B_FRF", QString());
    row("unrecognised token keeps the UART rate", Link::uart, "#B_XYZ", QString());
    row("connection text with a blank is noise", Link::usb, "Conectado ", QString());
    // The device never answers "#B_STR": the link's reply time-out.
    QTest::newRow("TimeOut") << Link::usb << QByteArray("silent") << QByteArray() << QStringLiteral("TimeOut");
    // The device announces itself and never asks for the data.
    QTest::newRow("BaudTimeout over UART")
        << Link::uart << QByteArray("announce") << QByteArray() << QString::fromUtf8("Dispositivo Incompatível!");
}

void tst_update_protocol::run_ends()
{
    QFETCH(Link, link);
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, reply);
    QFETCH(QString, text);

    const QByteArray first = firmware('C', 6, "S1");
    const int lines = line_total(first);
    if (script == "data") {
        sim->request_data(link);
        sim->on_line(0, lines, [reply](Reply& r) { r.send_progress(40).send(reply); });
    } else if (script == "announce") {
        sim->on_token("#B_STR", [link](Reply& r) { r.send(FakeBootloader::announcement(link)); });
    }
    QVERIFY(begin({{"MAIN_1.s19", first}, {"GRID_2.s19", firmware('A', 6, "S2")}}));

    QTRY_VERIFY_WITH_TIMEOUT(!ui->popup->isVisible(), step_timeout_ms);
    verify_torn_down();
    QCOMPARE(ui->text("connectButton"), QStringLiteral("DESCONECTAR"));
    if (text.isNull()) {
        QCOMPARE(status(), sending_text + QStringLiteral(" (1 / 2)"));
        QCOMPARE(progress(), 40);
        QCOMPARE(sim->baud(), link == Link::uart ? uart_data_baud : base_baud);
    } else {
        QCOMPARE(status(), text + QStringLiteral(" (1 / 2)"));
        QCOMPARE(progress(), 0);
        QCOMPARE(sim->baud(), base_baud);
    }
    QCOMPARE(sim->tokens(), QList<QByteArray>{"#B_STR"});

    // The loaded file was released: a late request for the data gets nothing, not even a line.
    const int sent_before = sim->line_count();
    sim->act([](Reply& r) { r.send("#B_MAX"); });
    QVERIFY(sim->wait_until_idle(step_timeout_ms));
    QTest::qWait(50);
    QCOMPARE(sim->line_count(), sent_before);
    QCOMPARE(sim->tokens(), QList<QByteArray>{"#B_STR"});
}

void tst_update_protocol::failure_after_line_stops_transfer_data()
{
    QTest::addColumn<int>("lines_before");

    QTest::newRow("after the first line") << 1;
    QTest::newRow("mid-file") << 10;
}

void tst_update_protocol::failure_after_line_stops_transfer()
{
    QFETCH(int, lines_before);

    // A UART pause is long enough for the reply to arrive before the next line is due.
    const QByteArray file = firmware('C', 30, "S1");
    sim->request_data(Link::uart);
    sim->on_line(0, lines_before, [](Reply& r) { r.send("#B_CRC"); });
    QVERIFY(begin({{"MAIN_1.s19", file}}));

    QTRY_COMPARE_WITH_TIMEOUT(status(), QString::fromUtf8("Erro de Checksum! (1 / 1)"), step_timeout_ms);
    // Several pauses more: a transfer that went on would have sent further lines by now.
    QTest::qWait(4 * uart_pause_ms);
    const QList<QByteArray> received = sim->lines(0);
    QVERIFY(received.size() >= lines_before);
    QCOMPARE(received, package_builder::cr_lines(file).mid(0, received.size()));
    // The program can stop no sooner than the failure reaches it. A simulator that answered well
    // within the pause answered before the next line was due; one held up by a busy machine
    // leaves the program more lines to send, but never the whole file.
    const double answered_after_ms = ms_between(sim->line_records(0).at(lines_before - 1).at, sim->sent().first().at);
    if (answered_after_ms < uart_pause_ms / 5)
        QCOMPARE(received.size(), lines_before);
    else
        QVERIFY(received.size() < line_total(file));
    QCOMPARE(sim->tokens(), QList<QByteArray>{"#B_STR"});
    verify_torn_down();
}

void tst_update_protocol::event_file_waits_for_restart()
{
    // Archive order puts the event file first; it must still be sent last.
    const QByteArray event = firmware('F', 4, "S1");
    const QByteArray main = firmware('C', 5, "S2");
    sim->accept_files(Link::usb, {line_total(main), line_total(event)});
    QVERIFY(begin({{"EVENT_1.s19", event}, {"MAIN_2.s19", main}}));
    sim->watch_line(true);

    QVERIFY(sim->wait_for_token("#B_END", run_timeout_ms));
    QCOMPARE(transcript(*sim), whole_package({main, event}));
    QTRY_VERIFY(!ui->popup->isVisible());

    QList<int> progress_seen;
    for (const Shown& s : shown)
        progress_seen.append(s.progress);
    QCOMPARE(progress_seen, (QList<int>{1, 50, 90, 95, 100, 1, 50, 90, 95, 98, 100}));
    const Shown finishing = shown.at(9);
    const Shown done = shown.at(10);
    QCOMPARE(finishing.status, finishing_text + QStringLiteral(" (2 / 2)"));
    QCOMPARE(done.status, success_text + QStringLiteral(" (2 / 2)"));
    // Both stamps come from the GUI thread, on either side of the program's own pause.
    QVERIFY2(ms_between(finishing.at, done.at) >= event_port_pause_ms,
             qPrintable(QString::number(ms_between(finishing.at, done.at))));

    // The line was let go for the restart and taken again before "#B_END" went out.
    const QList<FakeBootloader::Sent> sent = sim->sent();
    const Clock::time_point event_confirmed = sent.last().at;
    const Clock::time_point end_arrived = sim->received().last().at;
    bool closed = false;
    bool reopened = false;
    for (const FakeBootloader::LineChange& change : sim->line_changes()) {
        if (change.at < event_confirmed)
            QVERIFY2(change.open, "the line was closed before the event file was confirmed");
        else if (!change.open)
            closed = true;
        else if (closed && change.at <= end_arrived)
            reopened = true;
    }
    QVERIFY(closed);
    QVERIFY(reopened);
    verify_torn_down();
}

void tst_update_protocol::reset_reopens_line()
{
    const QByteArray file = firmware('C', 6, "S1");
    sim->request_data(Link::uart);
    sim->on_line(0, line_total(file), [](Reply& r) { r.send("#B_RST").wait(200).send("#B_BOK"); });
    QVERIFY(begin({{"MAIN_1.s19", file}}));
    sim->watch_line(true);

    QVERIFY(sim->wait_for_token("#B_END", run_timeout_ms));
    QCOMPARE(transcript(*sim), whole_package({file}));

    const QList<FakeBootloader::Sent> sent = sim->sent();
    QCOMPARE(sent.size(), 4);
    QCOMPARE(sent.at(2).bytes, QByteArray("#B_RST"));
    // The reset came at the data rate; the reopened line runs at the base rate.
    QCOMPARE(sent.at(2).baud, uart_data_baud);
    QCOMPARE(sent.at(3).baud, base_baud);

    bool closed = false;
    bool reopened = false;
    for (const FakeBootloader::LineChange& change : sim->line_changes()) {
        if (change.at < sent.at(2).at)
            continue;
        if (!change.open)
            closed = true;
        else if (closed && change.at < sent.at(3).at)
            reopened = true;
    }
    QVERIFY(closed);
    QVERIFY(reopened);
    QTRY_COMPARE(status(), success_text + QStringLiteral(" (1 / 1)"));
}

void tst_update_protocol::split_replies_are_taken_whole()
{
    const QByteArray file = firmware('C', 6, "S1");
    sim->on_token("#B_STR", [](Reply& r) { r.send("#B_U").wait(30).send("SB").send("#B_MA").wait(30).send("X"); });
    sim->on_line(0, line_total(file), [](Reply& r) { r.send("#B_").wait(30).send(QByteArray("PR\x21", 3)); });
    QVERIFY(begin({{"MAIN_1.s19", file}}));

    QTRY_COMPARE_WITH_TIMEOUT(progress(), 33, step_timeout_ms);
    QCOMPARE(sim->lines(0), package_builder::cr_lines(file));
    QCOMPARE(status(), sending_text + QStringLiteral(" (1 / 1)"));
}

void tst_update_protocol::equipment_vanishes_during_transfer()
{
    const QByteArray file = firmware('C', 30, "S1");
    sim->request_data(Link::uart);
    sim->on_line(0, 5, [](Reply& r) { r.hang_up(); });
    QVERIFY(begin({{"MAIN_1.s19", file}}));

    QTRY_COMPARE_WITH_TIMEOUT(info(), interrupted_text, step_timeout_ms);
    verify_disconnected_look();
    verify_torn_down();
}

void tst_update_protocol::equipment_vanishes_during_reset()
{
    // Gone while the program waits to reopen the line: the reopening can never succeed.
    const QByteArray file = firmware('C', 6, "S1");
    sim->request_data(Link::uart);
    sim->on_line(0, line_total(file), [](Reply& r) { r.send("#B_RST").hang_up(); });
    QVERIFY(begin({{"MAIN_1.s19", file}}));

    QTRY_COMPARE_WITH_TIMEOUT(info(), link_lost_text, step_timeout_ms);
    verify_disconnected_look();
    verify_torn_down();
}

void tst_update_protocol::teardown_before_any_package_removes_nothing()
{
    // An operator's folder that looks like an extraction folder, in the working directory.
    struct WorkingDirectory {
        QString previous = QDir::currentPath();
        ~WorkingDirectory() { QDir::setCurrent(previous); }
    } restored;
    QVERIFY(QDir::setCurrent(root->path()));
    QVERIFY(QDir(root->path()).mkdir(QStringLiteral("Linha_X#rev2")));
    QVERIFY(write_file(root->filePath(QStringLiteral("Linha_X#rev2/notes.txt")), "keep"));

    QVERIFY(ui->connect_to(sim->terminal()));
    sim->act([](Reply& r) { r.hang_up(); });
    QTRY_COMPARE_WITH_TIMEOUT(info(), interrupted_text, step_timeout_ms);

    verify_disconnected_look();
    QCOMPARE(file_bytes(root->filePath(QStringLiteral("Linha_X#rev2/notes.txt"))), QByteArray("keep"));
}

void tst_update_protocol::confirmation_during_transmission()
{
    // The device confirms the first file while it is still being sent: the record under the
    // running transmission is replaced by the second file, which must go out alone and whole.
    const QByteArray first = firmware('C', 30, "S1");
    const QByteArray second = firmware('A', 8, "S2");
    const int confirmed_after = 6;
    sim->request_data(Link::uart);
    sim->on_line(0, confirmed_after, [](Reply& r) { r.send("#B_BOK"); });
    sim->on_line(1, line_total(second), [](Reply& r) { r.send("#B_BOK"); });
    QVERIFY(begin({{"MAIN_1.s19", first}, {"GRID_2.s19", second}}));

    QVERIFY(sim->wait_for_token("#B_END", run_timeout_ms));
    // On a loaded machine the confirmation may reach the window a line or two after it was sent;
    // what matters is that no line of the first file follows the start of the second.
    const QList<QByteArray> received = transcript(*sim);
    const int first_sent = static_cast<int>(received.indexOf("<#B_STR>", 1)) - 1;
    QVERIFY2(first_sent >= confirmed_after, qPrintable(QString::number(first_sent)));
    QList<QByteArray> expected = {"<#B_STR>"};
    expected += package_builder::cr_lines(first).mid(0, first_sent);
    expected += "<#B_STR>";
    expected += package_builder::cr_lines(second);
    expected += "<#B_END>";
    QCOMPARE(received, expected);
    QTRY_COMPARE(status(), success_text + QStringLiteral(" (2 / 2)"));
    verify_torn_down();
}

void tst_update_protocol::second_data_request_restarts_file()
{
    const QByteArray file = firmware('C', 12, "S1");
    const int lines = line_total(file);
    const int restarted_after = 5;
    sim->request_data(Link::uart);
    sim->on_line(0, restarted_after, [](Reply& r) { r.send("#B_MAX"); });
    // Confirmed only after both transmissions have returned, the restarted one having released the
    // record under the older one.
    sim->on_line(0, restarted_after + lines, [](Reply& r) { r.wait(4 * uart_pause_ms).send("#B_BOK"); });
    QVERIFY(begin({{"MAIN_1.s19", file}}));

    QVERIFY(sim->wait_for_token("#B_END", run_timeout_ms));
    QList<QByteArray> expected = {"<#B_STR>"};
    expected += package_builder::cr_lines(file).mid(0, restarted_after);
    expected += package_builder::cr_lines(file);
    expected += "<#B_END>";
    QCOMPARE(transcript(*sim), expected);
    QTRY_COMPARE(status(), success_text + QStringLiteral(" (1 / 1)"));
}

void tst_update_protocol::disconnect_during_pause()
{
    const QByteArray file = firmware('C', 30, "S1");
    const int disconnected_after = 5;
    sim->request_data(Link::uart);
    auto* connect_button = ui->widget<QAbstractButton>("connectButton");
    sim->on_line(0, disconnected_after, [this, connect_button](Reply& r) {
        r.in_gui(ui->window, [connect_button] { connect_button->click(); });
    });
    failed_writes.clear();
    previous_handler = qInstallMessageHandler(capture_failed_writes);
    QVERIFY(begin({{"MAIN_1.s19", file}}));

    QTRY_COMPARE_WITH_TIMEOUT(connect_button->text(), QStringLiteral("CONECTAR"), step_timeout_ms);
    // Several pauses more: a transmission that went on would try to write into the closed port.
    QTest::qWait(4 * uart_pause_ms);
    qInstallMessageHandler(previous_handler);

    QCOMPARE(failed_writes, QStringList());
    QCOMPARE(sim->lines(0), package_builder::cr_lines(file).mid(0, disconnected_after));
    verify_disconnected_look();
    QVERIFY(!ui->popup->isVisible());
    QVERIFY(!ui->popup->is_started());
}

void tst_update_protocol::package_choice_refused_during_transfer()
{
    const QByteArray file = firmware('C', 20, "S1");
    auto* search = ui->widget<QAbstractButton>("Search_archive");
    QString status_after_press;
    sim->request_data(Link::uart);
    sim->on_line(0, 5, [&, this](Reply& r) {
        r.in_gui(ui->window, [&] {
            search->click();
            status_after_press = ui->text("lineStatusArchive");
        });
    });
    sim->on_line(0, line_total(file), [](Reply& r) { r.send("#B_BOK"); });
    QVERIFY(begin({{"MAIN_1.s19", file}}));

    DialogRefuser dialogs;
    QVERIFY(sim->wait_for_token("#B_END", run_timeout_ms));
    QCOMPARE(status_after_press, transfer_running_text);
    QCOMPARE(dialogs.opened, 0);
    QCOMPARE(transcript(*sim), whole_package({file}));
    QTRY_COMPARE(status(), success_text + QStringLiteral(" (1 / 1)"));
    verify_torn_down();
}

QTEST_MAIN(tst_update_protocol)

#include "tst_update_protocol.moc"
