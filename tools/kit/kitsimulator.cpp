#include "kitsimulator.h"

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Flow control for full speed: stop making frames while a link still has this much unsent.
constexpr qint64 MaxBacklog = 64 * 1024;
// Frames per loop of the tag: ten seconds at the default rate.
constexpr int FramesPerLoop = 100;
constexpr int TagHeight = 120;
// How often the serial side is checked for a viewer that opened or closed it.
constexpr int SerialCheckMs = 20;
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
    connect(&m_serialCheck, &QTimer::timeout, this, &KitSimulator::checkSerial);
}

KitSimulator::~KitSimulator()
{
    if (m_master >= 0)
        ::close(m_master);
}

bool KitSimulator::start(QString *error)
{
    m_server = new QTcpServer(this);
    if (!m_server->listen(m_options.host, m_options.port)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(m_options.host.toString())
                     .arg(m_options.port)
                     .arg(m_server->errorString());
        return false;
    }
    connect(m_server, &QTcpServer::newConnection, this, &KitSimulator::acceptClients);
    say(QStringLiteral("listening: %1:%2").arg(m_options.host.toString()).arg(serverPort()));

    if (m_options.serial) {
        openSerial(error);
        if (m_master < 0)
            return false;
        say(QStringLiteral("serial: %1").arg(m_serialPath));
        m_serialCheck.start(SerialCheckMs);
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

void KitSimulator::openSerial(QString *error)
{
    int slave = -1;
    char name[256] = {};
    termios settings;
    ::memset(&settings, 0, sizeof settings);
    cfmakeraw(&settings);
    cfsetspeed(&settings, B115200);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cflag &= ~(PARENB | CSTOPB | CRTSCTS);
    if (openpty(&m_master, &slave, name, &settings, nullptr) != 0) {
        *error = QStringLiteral("cannot open a pseudo-terminal: %1").arg(qt_error_string(errno));
        m_master = -1;
        return;
    }
    // With the slave closed the master reports a hang-up until a viewer opens it: that is how
    // the kit knows someone is listening.
    ::close(slave);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_serialPath = QString::fromLocal8Bit(name);
    m_serialRead = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    m_serialRead->setEnabled(false);
    connect(m_serialRead, &QSocketNotifier::activated, this, &KitSimulator::readSerial);
    m_serialWrite = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_serialWrite->setEnabled(false);
    connect(m_serialWrite, &QSocketNotifier::activated, this, &KitSimulator::flushSerial);
}

void KitSimulator::checkSerial()
{
    pollfd fd = { m_master, POLLIN, 0 };
    ::poll(&fd, 1, 0);
    const bool attached = !(fd.revents & POLLHUP);
    if (attached == m_serialAttached)
        return;
    m_serialAttached = attached;
    if (attached)
        m_serialSettled.start();
    m_serialRead->setEnabled(attached);
    if (!attached) {
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
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        // The viewer closed its end; the periodic check notices and says so.
        m_serialRead->setEnabled(false);
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
    // Bytes still waiting on the viewer's side would be lost when the master closes.
    const int slave
        = ::open(m_serialPath.toLocal8Bit().constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (slave < 0)
        return true;
    int unread = 0;
    ::ioctl(slave, FIONREAD, &unread);
    ::close(slave);
    return unread == 0;
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

    const QList<QByteArray> parts = pieces(bytes);
    for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it) {
        for (const QByteArray &part : parts) {
            it.key()->write(part);
            if (m_options.chop)
                it.key()->flush();
        }
    }
    if (serialReady()) {
        for (const QByteArray &part : parts)
            writeSerial(part);
    }

    ++m_sent;
    ++m_sentSinceAttach;
    if (m_options.printFrames)
        say(QString::fromLatin1(frame.toHex()));
    if (m_options.count >= 0 && m_sent >= m_options.count) {
        m_finishing = true;
        m_clock.stop();
        finishWhenDrained();
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
