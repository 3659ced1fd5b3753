#include "replay.h"

#include "capture.h"
#include "link/framereader.h"

bool Replay::load(const QString &path, const std::function<void(const QString &)> &say,
                  QString *error)
{
    capture::Reader reader;
    if (!reader.open(path, error))
        return false;
    FrameReader frames;
    capture::Record record;
    while (reader.next(record)) {
        if (record.direction != capture::Direction::FromKit)
            continue;
        Chunk chunk { record.micros, record.bytes, 0 };
        frames.append(record.bytes);
        while (frames.nextFrame())
            ++chunk.frames;
        m_chunks << chunk;
    }
    if (!reader.damage().isEmpty())
        say(QStringLiteral("replay: %1: %2; playing what comes before").arg(path, reader.damage()));
    if (m_chunks.isEmpty()) {
        *error = QStringLiteral("%1 holds nothing the kit sent").arg(path);
        return false;
    }
    qint64 total = 0;
    for (const Chunk &chunk : std::as_const(m_chunks))
        total += chunk.frames;
    say(QStringLiteral("replay: %1 chunks, %2 frames").arg(m_chunks.size()).arg(total));
    return true;
}

bool Replay::play(double speed, const std::function<bool()> &canSend, const Deliver &deliver)
{
    if (!m_playing) {
        m_playing = true;
        m_since.start();
        m_base = m_chunks.at(m_next).micros;
    }
    for (int burst = 0; canSend(); ++burst) {
        const Chunk &chunk = m_chunks.at(m_next);
        const qint64 due = speed > 0 ? qint64(double(chunk.micros - m_base) / speed) : 0;
        if (due > m_since.nsecsElapsed() / 1000 || (speed == 0 && burst >= 64))
            return false;
        deliver(chunk.bytes, chunk.frames);
        if (++m_next < m_chunks.size())
            continue;
        m_next = 0;
        m_playing = false;
        return true;
    }
    return false;
}
