#include "support/program_output.h"

#include "support/pty_pair.h"

#include <QCoreApplication>
#include <QElapsedTimer>

namespace program_output
{

namespace
{

// Short enough to keep the loop lively, long enough not to spin the processor.
constexpr int poll_slice_ms = 5;

void gather(PtyPair& pty, QByteArray& bytes, int count, int wait_ms)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while ((count < 0 || bytes.size() < count) && elapsed.elapsed() < wait_ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        bytes.append(pty.read(poll_slice_ms, 0));
    }
}

} // namespace

QByteArray read(PtyPair& pty, int count, int wait_ms, int settle_ms)
{
    QByteArray bytes;
    gather(pty, bytes, count, wait_ms);
    gather(pty, bytes, -1, settle_ms);
    return bytes;
}

} // namespace program_output
