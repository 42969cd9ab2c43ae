#ifndef PROCESS_IDENTITY_H
#define PROCESS_IDENTITY_H

#include <QString>

// A process as another process can tell it again later: a process id alone is reused, by the next boot or by a
// later process of the same boot, and means nothing on another host sharing the same folder.
struct ProcessIdentity {
    QString host;
    QString boot; // the system's id of this boot; empty where the system gives none
    qint64 pid = 0;
    QString started; // when the process started, in the system's own terms; empty where unknown

    // This process.
    static ProcessIdentity current();

    enum class State { running, ended, unknown };
    // Whether the process still runs, as this host can judge it: a process of another host, or of a system that
    // gives no boot id, is unknown.
    State state() const;
};

#endif // PROCESS_IDENTITY_H
