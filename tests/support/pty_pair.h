#ifndef PTY_PAIR_H
#define PTY_PAIR_H

#include <QByteArray>
#include <QString>

#include <termios.h>

// A pseudo-terminal pair: the program opens the slave's path as its serial port, the test plays
// the equipment on the master side.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool is_valid() const { return master_fd >= 0; }
    QString slave_path() const { return slave_name; }
    int master() const { return master_fd; }

    // The line settings the program gave the slave.
    termios slave_termios() const;
    speed_t slave_baud() const;

    // Writes all bytes to the master side.
    bool write(const QByteArray& bytes);
    // Reads what the program wrote, waiting up to wait_ms for the first byte and then for
    // quiet_ms of silence.
    QByteArray read(int wait_ms, int quiet_ms = 20);

    // Closes the master: the program's line hangs up.
    void hang_up();

private:
    int master_fd = -1;
    // Kept open so the slave's settings outlive the program closing its port.
    int slave_fd = -1;
    QString slave_name;
};

#endif // PTY_PAIR_H
