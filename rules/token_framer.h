#ifndef TOKEN_FRAMER_H
#define TOKEN_FRAMER_H

#include <QByteArray>

// The equipment's answers as they come off the line. A line hands bytes over in pieces of its own choosing (a USB
// adapter's packets, a read that came early or late), so tokens are cut out of the byte stream by their own shape,
// "#B_" and three bytes, whatever the reads were; the last of the three may be a data byte of any value.
class TokenFramer
{
public:
    struct Frame {
        bool noise = false; // bytes that begin no token
        QByteArray bytes;
    };

    void feed(const QByteArray& bytes) { pending += bytes; }
    // The next whole token, or the noise in front of what may still become one. False while what is left may still
    // become a token: a token's first bytes wait for the rest, and noise waits until a token begun with it would have
    // been whole, so that it is judged when a line that handed over only whole tokens would have shown it.
    bool next(Frame* frame);
    void clear() { pending.clear(); }

private:
    QByteArray pending;
};

#endif // TOKEN_FRAMER_H
