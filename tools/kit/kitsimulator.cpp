#include "kitsimulator.h"

#include "tagpath.h"
#include "trilateration.h"

#include <QTextStream>

#include <cmath>

namespace {

// Flow control for full speed: stop making frames while a link still has this much unsent.
constexpr qint64 MaxBacklog = 64 * 1024;
// How long to wait at the end for links to take the last frames.
constexpr qint64 DrainTimeoutMs = 10000;
constexpr qint64 QuietMs = 300;

} // namespace

KitSimulator::KitSimulator(const KitOptions &options, QTextStream &out)
    : m_options(options)
    , m_out(out)
    , m_random(options.seed)
{
    m_config.anchors = options.layout;
    for (kit::Anchor &a : m_config.anchors) {
        if (a.id == options.misplaced) {
            a.x += options.misplacement[0];
            a.y += options.misplacement[1];
            a.z += options.misplacement[2];
        }
    }
    m_config.tagId = 5;

    connect(&m_tcp, &TcpEndpoint::said, this, &KitSimulator::say);
    connect(&m_pty, &PtyEndpoint::said, this, &KitSimulator::say);
    const auto apply = [this](const kit::Command &command) { m_config = command; };
    connect(&m_tcp, &TcpEndpoint::commandReceived, this, apply);
    connect(&m_pty, &PtyEndpoint::commandReceived, this, apply);
    connect(&m_tcp, &TcpEndpoint::emptied, this, [this] { m_sentThisSession = 0; });
    m_clock.setTimerType(Qt::PreciseTimer);
    connect(&m_clock, &QTimer::timeout, this, &KitSimulator::tick);
}

bool KitSimulator::start(QString *error)
{
    if (!m_tcp.listen(m_options.host, m_options.port, error))
        return false;
    say(QStringLiteral("listening: %1:%2").arg(m_options.host.toString()).arg(serverPort()));

    if (m_options.serial && !m_pty.open(error))
        return false;
    if (!m_options.replay.isEmpty()) {
        if (!m_replay.load(
                m_options.replay, [this](const QString &line) { say(line); }, error))
            return false;
        m_replaying = true;
        m_clock.start(1);
        return true;
    }

    // Above 200 Hz several frames go out per tick, so the timer never runs faster than that.
    const double interval = m_options.rate > 0 ? 1000.0 / m_options.rate : 0;
    m_clock.start(int(qBound(0.0, interval, 5.0)));
    return true;
}

bool KitSimulator::anyoneAttached() const
{
    return m_tcp.hasClients() || m_pty.ready();
}

bool KitSimulator::hasBacklog() const
{
    return m_pty.backlog() > MaxBacklog || m_tcp.backlog() > MaxBacklog;
}

void KitSimulator::tick()
{
    if (m_finishing)
        return;
    if (!anyoneAttached()) {
        m_sentSinceAttach = 0;
        m_replay.pause();
        return;
    }
    if (m_replaying) {
        const bool done = m_replay.play(
            m_options.speed, [this] { return !m_finishing && !hasBacklog(); },
            [this](const QByteArray &bytes, qint64 frames) { deliver(bytes, frames); });
        if (done && !m_options.loop && !m_finishing) {
            say(QStringLiteral("replay: done"));
            finishSending();
        }
        return;
    }
    if (m_sentSinceAttach == 0)
        m_since.start();
    qint64 due = m_options.rate > 0 ? qint64(m_since.elapsed() * m_options.rate / 1000.0) + 1
                                    : m_sentSinceAttach + 64;
    while (m_sentSinceAttach < due && !m_finishing && !hasBacklog())
        sendFrame();
}

kit::Scene KitSimulator::sceneAt(qint64 index)
{
    const int tag = int(index % m_options.tags);
    const std::array<int, 3> truth = kit::tagPosition(index / m_options.tags, tag, m_options.layout,
                                                      m_options.path, m_options.tagHeight);
    kit::Scene scene;
    scene.anchors = m_config.anchors;
    scene.tagId = (m_config.tagId + tag) & 0xFF;
    tools::Ranges ranges;
    tools::Anchors configured;
    for (size_t k = 0; k < 4; ++k) {
        const kit::Anchor &a = m_options.layout[k];
        const double distance
            = std::sqrt(std::pow(a.x - truth[0], 2.0) + std::pow(a.y - truth[1], 2.0)
                        + std::pow(a.z - truth[2], 2.0));
        const int noise = m_options.noiseCm > 0
            ? m_random.bounded(-m_options.noiseCm, m_options.noiseCm + 1)
            : 0;
        const int bias = a.id == m_options.biased ? m_options.biasCm : 0;
        scene.ranges[k] = qBound(0, int(std::lround(distance)) + noise + bias, 0xFFFF);
        ranges[k] = scene.ranges[k];
        configured[k] = { double(scene.anchors[k].x), double(scene.anchors[k].y),
                          double(scene.anchors[k].z) };
    }
    // What the kit reports is its own solution from the coordinates it was told.
    const tools::Fix fix = tools::trilaterate(configured, ranges, tools::startBelow(configured));
    const auto cm = [](double v) { return int(qBound(-32768.0, std::round(v), 32767.0)); };
    scene.tagX = cm(fix.position.x());
    scene.tagY = cm(fix.position.y());
    scene.tagZ = cm(fix.position.z());
    return scene;
}

QByteArray KitSimulator::junk()
{
    // Junk never holds the start byte, so it cannot forge a frame: every frame the viewer
    // finds is one that was sent.
    QByteArray bytes(int(m_random.bounded(1, 61)), '\0');
    for (char &c : bytes) {
        do
            c = char(m_random.bounded(256));
        while (c == '7');
    }
    return bytes;
}

QList<QByteArray> KitSimulator::pieces(const QByteArray &bytes)
{
    if (!m_options.chop)
        return { bytes };
    QList<QByteArray> out;
    for (int at = 0; at < bytes.size();) {
        const int size = int(m_random.bounded(1, 27));
        out << bytes.mid(at, size);
        at += size;
    }
    return out;
}

void KitSimulator::sendFrame()
{
    const QByteArray frame = kit::encodeReport(sceneAt(m_sent));
    QByteArray bytes = frame;
    if (m_options.garbage > 0 && m_random.generateDouble() < m_options.garbage)
        bytes.prepend(junk());
    if (m_options.printFrames)
        say(QString::fromLatin1(frame.toHex()));
    deliver(bytes, 1);
}

// Sends `bytes`, which complete `frames` frames, to every attached viewer; the fault options
// and --count go by frames.
void KitSimulator::deliver(const QByteArray &bytes, qint64 frames)
{
    const QList<QByteArray> parts = pieces(bytes);
    if (m_tcp.hasClients()) {
        m_tcp.write(parts, m_options.chop);
        if (m_options.dropAfter > 0 && (m_sentThisSession += frames) >= m_options.dropAfter) {
            m_sentThisSession = 0;
            m_tcp.dropClients();
        }
    }
    if (m_pty.ready()) {
        for (const QByteArray &part : parts)
            m_pty.write(part);
        if (m_options.hangupAfter > 0 && (m_sentThisPlug += frames) >= m_options.hangupAfter) {
            m_sentThisPlug = 0;
            m_pty.hangUp();
        }
    }

    m_sent += frames;
    m_sentSinceAttach += frames;
    if (m_options.count >= 0 && m_sent >= m_options.count)
        finishSending();
}

void KitSimulator::finishSending()
{
    m_finishing = true;
    m_clock.stop();
    finishWhenDrained();
}

void KitSimulator::finishWhenDrained()
{
    QElapsedTimer waited;
    waited.start();
    auto *poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this, poll, waited] {
        const bool drained = m_pty.drained() && m_tcp.backlog() == 0;
        // The terminal layer hands bytes on in the background, so an empty queue must stay
        // empty for a while before closing the master cannot lose the last of them.
        if (!drained)
            m_quiet.invalidate();
        else if (!m_quiet.isValid())
            m_quiet.start();
        if (!(drained && m_quiet.elapsed() >= QuietMs) && waited.elapsed() < DrainTimeoutMs)
            return;
        poll->stop();
        m_tcp.disconnectAll();
        emit finished();
    });
    poll->start(10);
}

void KitSimulator::say(const QString &line)
{
    m_out << line << '\n';
    m_out.flush();
}
