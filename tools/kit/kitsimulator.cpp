#include "kitsimulator.h"

#include "capture.h"
#include "link/framereader.h"
#include "toolsupport.h"

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>

namespace {

// Flow control for full speed: stop making frames while a link still has this much unsent.
constexpr qint64 MaxBacklog = 64 * 1024;
// Frames per loop of the tag: ten seconds at the default rate.
constexpr int FramesPerLoop = 100;
constexpr int TagHeight = 120;
// How long a pulled-out adapter stays out before it comes back as a new terminal.
constexpr int ReplugMs = 1000;
// How long to wait at the end for links to take the last frames.
constexpr qint64 DrainTimeoutMs = 10000;
constexpr qint64 QuietMs = 300;
// A viewer that has just opened the terminal is still setting it up.
constexpr int SettleMs = 100;

} // namespace

KitSimulator::KitSimulator(const KitOptions &options, QTextStream &out)
    : m_options(options)
    , m_out(out)
    , m_random(options.seed)
{
    const int xs[] = { 0, 500, 500, 0 };
    const int ys[] = { 0, 0, 400, 400 };
    for (int k = 0; k < 4; ++k)
        m_config.anchors[size_t(k)] = { k, xs[k], ys[k], 250 };
    m_config.tagId = 5;

    m_clock.setTimerType(Qt::PreciseTimer);
    connect(&m_clock, &QTimer::timeout, this, &KitSimulator::tick);
    m_replug.setSingleShot(true);
    connect(&m_replug, &QTimer::timeout, this, [this] {
        QString error;
        if (!openSerial(&error))
            say(QStringLiteral("serial: %1").arg(error));
    });
}

KitSimulator::~KitSimulator()
{
    closeSerial();
}

bool KitSimulator::start(QString *error)
{
    m_server = new QTcpServer(this);
    if (!tools::listen(*m_server, m_options.host, m_options.port, error))
        return false;
    connect(m_server, &QTcpServer::newConnection, this, &KitSimulator::acceptClients);
    say(QStringLiteral("listening: %1:%2").arg(m_options.host.toString()).arg(serverPort()));

    if (m_options.serial && !openSerial(error))
        return false;
    if (!m_options.replay.isEmpty()) {
        if (!loadReplay(error))
            return false;
        m_clock.start(1);
        return true;
    }

    // Above 200 Hz several frames go out per tick, so the timer never runs faster than that.
    const double interval = m_options.rate > 0 ? 1000.0 / m_options.rate : 0;
    m_clock.start(int(qBound(0.0, interval, 5.0)));
    return true;
}

quint16 KitSimulator::serverPort() const
{
    return m_server ? m_server->serverPort() : 0;
}

bool KitSimulator::openSerial(QString *error)
{
    char name[256] = {};
    termios settings;
    ::memset(&settings, 0, sizeof settings);
    cfmakeraw(&settings);
    cfsetspeed(&settings, B115200);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cflag &= ~(PARENB | CSTOPB | CRTSCTS);
    if (openpty(&m_master, &m_slave, name, &settings, nullptr) != 0) {
        *error = QStringLiteral("cannot open a pseudo-terminal: %1").arg(qt_error_string(errno));
        m_master = m_slave = -1;
        return false;
    }
    // Viewers opening and closing the terminal show up as events on its device file; the
    // kit's own open came before the watch and is not counted.
    m_openWatch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_openWatch < 0 || ::inotify_add_watch(m_openWatch, name, IN_OPEN | IN_CLOSE) < 0) {
        *error = QStringLiteral("cannot watch the pseudo-terminal: %1").arg(qt_error_string(errno));
        closeSerial();
        return false;
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_serialPath = QString::fromLocal8Bit(name);
    m_openers = 0;
    m_sentThisPlug = 0;
    m_serialOpens = new QSocketNotifier(m_openWatch, QSocketNotifier::Read, this);
    connect(m_serialOpens, &QSocketNotifier::activated, this, &KitSimulator::readSerialOpens);
    m_serialRead = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    m_serialRead->setEnabled(false);
    connect(m_serialRead, &QSocketNotifier::activated, this, &KitSimulator::readSerial);
    m_serialWrite = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_serialWrite->setEnabled(false);
    connect(m_serialWrite, &QSocketNotifier::activated, this, &KitSimulator::flushSerial);
    say(QStringLiteral("serial: %1").arg(m_serialPath));
    return true;
}

void KitSimulator::closeSerial()
{
    delete m_serialOpens;
    delete m_serialRead;
    delete m_serialWrite;
    m_serialOpens = m_serialRead = m_serialWrite = nullptr;
    for (int *fd : { &m_openWatch, &m_slave, &m_master }) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_serialOut.clear();
    m_serialAttached = false;
}

// Closing the master is what a pulled-out adapter looks like to the viewer: the terminal is
// hung up and every read fails. Frames still in flight are lost, as they would be.
void KitSimulator::hangUpSerial()
{
    const QString path = m_serialPath;
    closeSerial();
    say(QStringLiteral("serial: %1 hung up").arg(path));
    m_replug.start(ReplugMs);
}

void KitSimulator::readSerialOpens()
{
    alignas(inotify_event) char events[4096];
    ssize_t n;
    while ((n = ::read(m_openWatch, events, sizeof events)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(events + at);
            if (event->mask & IN_OPEN)
                ++m_openers;
            if (event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
                m_openers = qMax(0, m_openers - 1);
            at += ssize_t(sizeof(inotify_event) + event->len);
        }
    }
    setSerialAttached(m_openers > 0);
}

void KitSimulator::setSerialAttached(bool attached)
{
    if (attached == m_serialAttached)
        return;
    m_serialAttached = attached;
    if (attached)
        m_serialSettled.start();
    m_serialRead->setEnabled(attached);
    if (!attached) {
        // The kit's own end keeps the terminal alive, so what the viewer left unread and its
        // exclusive claim would otherwise greet the next viewer.
        ::tcflush(m_slave, TCIOFLUSH);
        ::ioctl(m_slave, TIOCNXCL);
        m_serialOut.clear();
        m_serialWrite->setEnabled(false);
    }
    say(attached ? QStringLiteral("serial: opened by a viewer")
                 : QStringLiteral("serial: closed by the viewer"));
}

void KitSimulator::readSerial()
{
    char chunk[4096];
    const ssize_t n = ::read(m_master, chunk, sizeof chunk);
    if (n > 0) {
        takeCommandBytes(m_serialCommands, QByteArray(chunk, int(n)), QStringLiteral("serial"));
    }
}

void KitSimulator::writeSerial(const QByteArray &bytes)
{
    m_serialOut += bytes;
    flushSerial();
}

void KitSimulator::flushSerial()
{
    while (!m_serialOut.isEmpty()) {
        const ssize_t n = ::write(m_master, m_serialOut.constData(), size_t(m_serialOut.size()));
        if (n <= 0)
            break;
        m_serialOut.remove(0, int(n));
    }
    m_serialWrite->setEnabled(!m_serialOut.isEmpty());
}

bool KitSimulator::serialDrained() const
{
    if (m_master < 0 || !m_serialAttached)
        return true;
    if (!m_serialOut.isEmpty())
        return false;
    // Bytes still waiting on the viewer's side would be lost when the master closes. A failed
    // query says nothing, so it never counts as drained.
    int unread = 0;
    return ::ioctl(m_slave, FIONREAD, &unread) == 0 && unread == 0;
}

// A network module that reboots: every connection ends, and the next one starts afresh.
void KitSimulator::dropClients()
{
    const auto clients = m_clients.keys();
    m_clients.clear();
    m_sentThisSession = 0;
    for (QTcpSocket *socket : clients)
        socket->disconnectFromHost();
    say(QStringLiteral("tcp: dropped %1 client(s)").arg(clients.size()));
}

void KitSimulator::acceptClients()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_clients.insert(socket, kit::CommandReader());
        const QString peer
            = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
        say(QStringLiteral("tcp: %1 connected").arg(peer));
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readClient(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket, peer] {
            if (m_clients.remove(socket))
                say(QStringLiteral("tcp: %1 disconnected").arg(peer));
            if (m_clients.isEmpty())
                m_sentThisSession = 0;
            socket->deleteLater();
        });
    }
}

void KitSimulator::readClient(QTcpSocket *socket)
{
    auto reader = m_clients.find(socket);
    if (reader != m_clients.end())
        takeCommandBytes(*reader, socket->readAll(), QStringLiteral("tcp"));
}

void KitSimulator::takeCommandBytes(kit::CommandReader &reader, const QByteArray &bytes,
                                    const QString &link)
{
    reader.append(bytes);
    kit::Command command;
    int skipped = 0;
    for (;;) {
        const bool complete = reader.next(command, skipped);
        if (skipped > 0)
            say(QStringLiteral("%1: skipped %2 bytes that do not form a command")
                    .arg(link)
                    .arg(skipped));
        if (!complete)
            break;
        m_config = command;
        say(QStringLiteral("%1: config: %2").arg(link, kit::describe(command)));
    }
}

bool KitSimulator::anyoneAttached()
{
    return !m_clients.isEmpty() || serialReady();
}

bool KitSimulator::serialReady() const
{
    return m_serialAttached && m_serialSettled.hasExpired(SettleMs);
}

bool KitSimulator::hasBacklog() const
{
    if (m_serialOut.size() > MaxBacklog)
        return true;
    for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it) {
        if (it.key()->bytesToWrite() > MaxBacklog)
            return true;
    }
    return false;
}

void KitSimulator::tick()
{
    if (m_finishing)
        return;
    if (!anyoneAttached()) {
        m_sentSinceAttach = 0;
        m_replaying = false;
        return;
    }
    if (!m_chunks.isEmpty()) {
        replayTick();
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
    kit::Scene scene;
    scene.anchors = m_config.anchors;
    scene.tagId = m_config.tagId;
    int minX = scene.anchors[0].x, maxX = minX, minY = scene.anchors[0].y, maxY = minY;
    for (const kit::Anchor &a : scene.anchors) {
        minX = qMin(minX, a.x);
        maxX = qMax(maxX, a.x);
        minY = qMin(minY, a.y);
        maxY = qMax(maxY, a.y);
    }
    // A smooth figure of eight around the middle of the anchors' rectangle.
    const double angle = 2 * M_PI * double(index % FramesPerLoop) / FramesPerLoop;
    scene.tagX = int(std::lround((minX + maxX) / 2.0 + 0.35 * (maxX - minX) * std::cos(angle)));
    scene.tagY = int(std::lround((minY + maxY) / 2.0 + 0.35 * (maxY - minY) * std::sin(2 * angle)));
    scene.tagZ = TagHeight;
    for (size_t k = 0; k < 4; ++k) {
        const kit::Anchor &a = scene.anchors[k];
        const double distance
            = std::sqrt(std::pow(a.x - scene.tagX, 2.0) + std::pow(a.y - scene.tagY, 2.0)
                        + std::pow(a.z - scene.tagZ, 2.0));
        const int noise = m_options.noiseCm > 0
            ? m_random.bounded(-m_options.noiseCm, m_options.noiseCm + 1)
            : 0;
        scene.ranges[k] = qBound(0, int(std::lround(distance)) + noise, 0xFFFF);
    }
    // The ranges are measured from where the anchor stands; the frame says where it was set.
    for (kit::Anchor &a : scene.anchors) {
        if (a.id == m_options.misplaced) {
            a.x += m_options.misplaceDx;
            a.y += m_options.misplaceDy;
        }
    }
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
    const kit::Scene scene = sceneAt(m_sent);
    const QByteArray frame = kit::encodeReport(scene);
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
    for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it) {
        for (const QByteArray &part : parts) {
            it.key()->write(part);
            if (m_options.chop)
                it.key()->flush();
        }
    }
    if (!m_clients.isEmpty() && m_options.dropAfter > 0
        && (m_sentThisSession += frames) >= m_options.dropAfter)
        dropClients();
    if (serialReady()) {
        for (const QByteArray &part : parts)
            writeSerial(part);
        if (m_options.hangupAfter > 0 && (m_sentThisPlug += frames) >= m_options.hangupAfter)
            hangUpSerial();
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

bool KitSimulator::loadReplay(QString *error)
{
    capture::Reader reader;
    if (!reader.open(m_options.replay, error))
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
        say(QStringLiteral("replay: %1: %2; playing what comes before")
                .arg(m_options.replay, reader.damage()));
    if (m_chunks.isEmpty()) {
        *error = QStringLiteral("%1 holds nothing the kit sent").arg(m_options.replay);
        return false;
    }
    qint64 total = 0;
    for (const Chunk &chunk : std::as_const(m_chunks))
        total += chunk.frames;
    say(QStringLiteral("replay: %1 chunks, %2 frames").arg(m_chunks.size()).arg(total));
    return true;
}

// Plays the capture's chunks at their recorded spacing, divided by the speed, from wherever
// the last viewer left off.
void KitSimulator::replayTick()
{
    if (!m_replaying) {
        m_replaying = true;
        m_since.start();
        m_replayBase = m_chunks.at(m_nextChunk).micros;
    }
    for (int burst = 0; !m_finishing && !hasBacklog(); ++burst) {
        const Chunk &chunk = m_chunks.at(m_nextChunk);
        const qint64 due = m_options.speed > 0
            ? qint64(double(chunk.micros - m_replayBase) / m_options.speed)
            : 0;
        if (due > m_since.nsecsElapsed() / 1000 || (m_options.speed == 0 && burst >= 64))
            return;
        deliver(chunk.bytes, chunk.frames);
        if (++m_nextChunk < m_chunks.size())
            continue;
        m_nextChunk = 0;
        m_replaying = false;
        if (!m_options.loop && !m_finishing) {
            say(QStringLiteral("replay: done"));
            finishSending();
        }
        return;
    }
}

void KitSimulator::finishWhenDrained()
{
    QElapsedTimer waited;
    waited.start();
    auto *poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this, poll, waited] {
        bool drained = serialDrained();
        for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it)
            drained = drained && it.key()->bytesToWrite() == 0;
        // The terminal layer hands bytes on in the background, so an empty queue must stay
        // empty for a while before closing the master cannot lose the last of them.
        if (!drained)
            m_quiet.invalidate();
        else if (!m_quiet.isValid())
            m_quiet.start();
        if (!(drained && m_quiet.elapsed() >= QuietMs) && waited.elapsed() < DrainTimeoutMs)
            return;
        poll->stop();
        // Disconnecting can remove a client from the table at once, so walk a copy.
        const auto clients = m_clients.keys();
        for (QTcpSocket *socket : clients)
            socket->disconnectFromHost();
        emit finished();
    });
    poll->start(10);
}

void KitSimulator::say(const QString &line)
{
    m_out << line << '\n';
    m_out.flush();
}
