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

    // The slave descriptor the pair holds itself.
    int slave() const { return slave_fd; }

    // Writes all bytes to the master side.
    bool write(const QByteArray& bytes);
    // What the program put on the line, read at this end while the event loop runs: the port only
    // hands written bytes to the line from the loop. Waits up to wait_ms for count bytes, then
    // keeps listening for settle_ms so that anything sent after them is caught too.
    QByteArray read_program_output(int count, int wait_ms, int settle_ms = 100);

    // Closes the master: the program's line hangs up.
    void hang_up();

private:
    // Whatever has arrived within wait_ms.
    QByteArray read_available(int wait_ms);
    void gather(QByteArray& bytes, int count, int wait_ms);

    int master_fd = -1;
    // Kept open so the slave's settings outlive the program closing its port.
    int slave_fd = -1;
    QString slave_name;
};

#endif // PTY_PAIR_H
