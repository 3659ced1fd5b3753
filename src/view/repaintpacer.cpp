#include "view/repaintpacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QScreen>
#include <QWidget>

#include <utility>

namespace {

// The longest an update waits, so that with the paint itself it is on screen within 20 ms.
constexpr int LongestWait = 14;

} // namespace

RepaintPacer::RepaintPacer(QWidget *window)
    : QObject(window)
    , m_window(window)
{
    m_hold.setSingleShot(true);
    m_hold.setTimerType(Qt::PreciseTimer);
    connect(&m_hold, &QTimer::timeout, this, &RepaintPacer::release);
    window->installEventFilter(this);
}

int RepaintPacer::interval() const
{
    const QScreen *screen = m_window->screen();
    const qreal rate = screen ? screen->refreshRate() : 0;
    return rate > 0 ? qMin(LongestWait, int(1000 / rate)) : LongestWait;
}

// The toolkit asks for no further update until the held one is delivered, so holding it
// coalesces everything dirtied meanwhile into one pass.
bool RepaintPacer::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != m_window || event->type() != QEvent::UpdateRequest)
        return QObject::eventFilter(watched, event);
    if (m_releasing || m_hold.isActive())
        return !std::exchange(m_releasing, false);
    const qint64 wait = m_sincePaint.isValid() ? interval() - m_sincePaint.elapsed() : 0;
    if (wait > 0) {
        m_hold.start(int(wait));
        return true;
    }
    m_sincePaint.start();
    return false;
}

void RepaintPacer::release()
{
    m_sincePaint.start();
    m_releasing = true;
    QEvent request(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(m_window, &request);
    m_releasing = false;
}
