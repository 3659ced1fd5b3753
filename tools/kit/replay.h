#ifndef REPLAY_H
#define REPLAY_H

#include <QElapsedTimer>
#include <QList>
#include <QString>

#include <functional>

// What the kit sent in a capture, played again at its recorded spacing divided by the speed
// (0: as fast as the links take it), from wherever the last viewer left off.
class Replay
{
public:
    // What a chunk holds: its bytes, and how many frames they complete.
    using Deliver = std::function<void(const QByteArray &bytes, qint64 frames)>;

    // Reads the capture; `say` tells of damage and of what was found.
    bool load(const QString &path, const std::function<void(const QString &)> &say, QString *error);
    // Plays the chunks now due while `canSend`; true once the capture is played to its end.
    bool play(double speed, const std::function<bool()> &canSend, const Deliver &deliver);
    // No viewer is attached: the next play starts the clock afresh.
    void pause() { m_playing = false; }

private:
    struct Chunk
    {
        qint64 micros = 0;
        QByteArray bytes;
        qint64 frames = 0;
    };
    QList<Chunk> m_chunks;
    int m_next = 0;
    bool m_playing = false; // timing runs from m_base since m_since started
    qint64 m_base = 0;
    QElapsedTimer m_since;
};

#endif // REPLAY_H
