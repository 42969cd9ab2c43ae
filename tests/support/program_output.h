#ifndef PROGRAM_OUTPUT_H
#define PROGRAM_OUTPUT_H

#include <QByteArray>

class PtyPair;

namespace program_output
{

// What the program put on the line, read at the far end while the event loop runs: the port only
// hands written bytes to the line from the loop. Waits up to wait_ms for count bytes, then keeps
// listening for settle_ms so that anything sent after them is caught too.
QByteArray read(PtyPair& pty, int count, int wait_ms, int settle_ms = 100);

} // namespace program_output

#endif // PROGRAM_OUTPUT_H
