#ifndef LINE_PACER_H
#define LINE_PACER_H

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QSocketNotifier;

// The pause after each line sent: due() fires once, never sooner than the pause asked for and as
// little later as the system allows, without keeping a core busy meanwhile. Qt's timers are not
// fine enough for a 3 ms pause: the GLib event loop Qt uses on Linux rounds every timer up to a
// whole millisecond, which alone would slow a USB transfer by about 15 %. On Linux a timer file
// descriptor keeps the kernel's microseconds; elsewhere a precise Qt timer is used, re-armed when
// it fires early.
class LinePacer : public QObject
{
    Q_OBJECT

public:
    explicit LinePacer(QObject* parent = nullptr);
    ~LinePacer() override;
    LinePacer(const LinePacer&) = delete;
    LinePacer& operator=(const LinePacer&) = delete;

    // Starts a new pause, dropping one that is running.
    void start(int ms);
    void start_ns(qint64 ns);
    void stop();
    bool is_active() const { return active; }

signals:
    void due();

private:
    void fired();
    void arm(qint64 ns);

    QElapsedTimer clock;
    qint64 due_ns = 0;
    // How much earlier than due to be woken, learned from the wakes so far.
    qint64 lead_ns = 0;
    bool active = false;
    int timer_fd = -1;
    QSocketNotifier* notifier = nullptr;
    QTimer fallback;
};

#endif // LINE_PACER_H
