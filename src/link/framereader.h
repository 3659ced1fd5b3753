#ifndef FRAMEREADER_H
#define FRAMEREADER_H

#include <QByteArray>

// Cuts a byte stream into position report frames: 52 bytes that start with "78" and end
// with "'(". Knows nothing of ports or widgets, so both links and the tests share it.
class FrameReader
{
public:
    // Once no complete frame is left, at most this many bytes wait for the rest of a frame.
    static constexpr int MaxPending = 51;
    // What a link hands over per arrival at most: about 40 frames, which the window draws in
    // some 20 ms, so that even a flood of frames never keeps it from answering the user.
    static constexpr int MaxArrival = 2 * 1024;

    void append(const QByteArray &bytes);

    // The next complete frame, or nullptr when there is none. The pointer stays valid until
    // the next call. Bytes that cannot begin a frame are skipped one at a time.
    const char *nextFrame();

    // Drops whatever is pending, for a new stream.
    void clear();

    int pendingSize() const { return int(m_buffer.size() - m_pos); }

private:
    void keepTail(qsizetype from);

    QByteArray m_buffer;
    qsizetype m_pos = 0;
};

#endif // FRAMEREADER_H
