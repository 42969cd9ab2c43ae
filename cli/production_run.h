#ifndef PRODUCTION_RUN_H
#define PRODUCTION_RUN_H

#include "cli/run_history.h"
#include "engine/update_engine.h"
#include "rules/bootloader_protocol.h"
#include "rules/package_trust.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <memory>
#include <vector>

class ConsoleAnswer;

struct RunOptions {
    QStringList ports;        // to open, in --port order
    QStringList named_ports;  // as the operator named them ("usb:A12345"), for the records
    QStringList unit_serials; // each unit's own serial as the line gave it; empty when none was
    QString package;          // absolute
    // The package as read once and judged; every unit unpacks these bytes.
    package_trust::PackageBytes package_bytes;
    bool yes = false;
    bool json = false;
    QString report_path;
    RunHistory::Options history;
    bootloader_protocol::Waits waits;
};

// The update of one unit per port, all at once on this thread: one engine per port, the operator's consent, what
// the operator or a script sees of every unit, a record of every unit, and the exit status.
class ProductionRun : public QObject
{
    Q_OBJECT
public:
    explicit ProductionRun(const RunOptions& options, QObject* parent = nullptr);
    ~ProductionRun() override;
    ProductionRun(const ProductionRun&) = delete;
    ProductionRun& operator=(const ProductionRun&) = delete;

    // Opens the package and the ports, then asks for consent; finished() follows, at once when one was refused.
    void begin();
    // Nothing more is sent on any unit, each line goes back to its base rate and closes, the unpacked files go.
    void stop(const QString& why);

signals:
    void finished(int code);

private:
    enum class Phase { preparing, asking, running, closing, done };
    enum class View { terminal, lines, json };

    struct Unit {
        QString port;
        QString named;
        std::unique_ptr<UpdateEngine> engine;
        UpdateEngine::Stage stage;
        QElapsedTimer since_stage;
        QString shown; // the stage last printed as a plain line
        int silent_s = 0;
        bool ended = false;
        QString end_text;
        bootloader_protocol::EndClass end = bootloader_protocol::EndClass::stopped;
        int code = -1;
        bool record_lost = false;
    };

    void watch(Unit& unit);
    void ask_consent();
    void consent_given(const QString& answer, bool closed);
    void start_units();
    void on_stage(Unit& unit, const UpdateEngine::Stage& stage);
    void on_ended(Unit& unit, bootloader_protocol::EndClass end, const QString& text);
    void refuse(int code, const QList<QPair<QString, QString>>& causes);
    void finish();

    void json_event(const Unit& unit, const char* kind, const QString& text, int code = -1);
    void draw();
    QString progress_line(const Unit& unit, int port_width) const;
    void print_summary();
    void say(const QString& text) const; // the operator's messages: stdout, or stderr beside JSON

    RunOptions options;
    View view;
    Phase phase = Phase::preparing;
    std::vector<Unit> units;
    ConsoleAnswer* answer = nullptr;
    RunHistory history;
    QString stop_reason;
    QTimer redraw;
    int drawn_lines = 0;
};

#endif // PRODUCTION_RUN_H
