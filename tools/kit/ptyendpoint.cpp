#include "ptyendpoint.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// How long a pulled-out adapter stays out before it comes back as a new terminal.
constexpr int ReplugMs = 1000;
// A viewer that has just opened the terminal is still setting it up.
constexpr int SettleMs = 100;

} // namespace

PtyEndpoint::PtyEndpoint(QObject *parent)
    : QObject(parent)
{
    m_replug.setSingleShot(true);
    connect(&m_replug, &QTimer::timeout, this, [this] {
        QString error;
        if (!open(&error))
            emit said(QStringLiteral("serial: %1").arg(error));
    });
}

PtyEndpoint::~PtyEndpoint()
{
    close();
}

bool PtyEndpoint::open(QString *error)
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
        close();
        return false;
    }
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    m_path = QString::fromLocal8Bit(name);
    m_openers = 0;
    m_opens = new QSocketNotifier(m_openWatch, QSocketNotifier::Read, this);
    connect(m_opens, &QSocketNotifier::activated, this, &PtyEndpoint::readOpens);
    m_read = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    m_read->setEnabled(false);
    connect(m_read, &QSocketNotifier::activated, this, &PtyEndpoint::readCommands);
    m_write = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_write->setEnabled(false);
    connect(m_write, &QSocketNotifier::activated, this, &PtyEndpoint::flush);
    emit said(QStringLiteral("serial: %1").arg(m_path));
    return true;
}

void PtyEndpoint::close()
{
    delete m_opens;
    delete m_read;
    delete m_write;
    m_opens = m_read = m_write = nullptr;
    for (int *fd : { &m_openWatch, &m_slave, &m_master }) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_out.clear();
    m_attached = false;
}

// Closing the master is what a pulled-out adapter looks like to the viewer: the terminal is
// hung up and every read fails. Frames still in flight are lost, as they would be.
void PtyEndpoint::hangUp()
{
    const QString path = m_path;
    close();
    emit said(QStringLiteral("serial: %1 hung up").arg(path));
    m_replug.start(ReplugMs);
}

bool PtyEndpoint::ready() const
{
    return m_attached && m_settled.hasExpired(SettleMs);
}

void PtyEndpoint::readOpens()
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
    setAttached(m_openers > 0);
}

void PtyEndpoint::setAttached(bool attached)
{
    if (attached == m_attached)
        return;
    m_attached = attached;
    if (attached)
        m_settled.start();
    m_read->setEnabled(attached);
    if (!attached) {
        // The kit's own end keeps the terminal alive, so what the viewer left unread and its
        // exclusive claim would otherwise greet the next viewer.
        ::tcflush(m_slave, TCIOFLUSH);
        ::ioctl(m_slave, TIOCNXCL);
        m_out.clear();
        m_write->setEnabled(false);
    }
    emit said(attached ? QStringLiteral("serial: opened by a viewer")
                       : QStringLiteral("serial: closed by the viewer"));
}

void PtyEndpoint::readCommands()
{
    char chunk[4096];
    const ssize_t n = ::read(m_master, chunk, sizeof chunk);
    if (n <= 0)
        return;
    kit::takeCommands(
        m_commands, QByteArray(chunk, int(n)), QStringLiteral("serial"),
        [this](const QString &line) { emit said(line); },
        [this](const kit::Command &command) { emit commandReceived(command); });
}

void PtyEndpoint::write(const QByteArray &bytes)
{
    m_out += bytes;
    flush();
}

void PtyEndpoint::flush()
{
    while (!m_out.isEmpty()) {
        const ssize_t n = ::write(m_master, m_out.constData(), size_t(m_out.size()));
        if (n <= 0)
            break;
        m_out.remove(0, int(n));
    }
    m_write->setEnabled(!m_out.isEmpty());
}

bool PtyEndpoint::drained() const
{
    if (m_master < 0 || !m_attached)
        return true;
    if (!m_out.isEmpty())
        return false;
    // Bytes still waiting on the viewer's side would be lost when the master closes. A failed
    // query says nothing, so it never counts as drained.
    int unread = 0;
    return ::ioctl(m_slave, FIONREAD, &unread) == 0 && unread == 0;
}
