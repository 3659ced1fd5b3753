#include "view/repaintpacer.h"

#include <QEvent>
#include <QScreen>
#include <QWidget>

namespace {

// The longest a change waits, so that with the paint itself it is on screen within 20 ms.
constexpr int LongestWait = 14;

} // namespace

RepaintPacer::RepaintPacer(QWidget *widget)
    : QObject(widget)
    , m_widget(widget)
{
    m_hold.setSingleShot(true);
    m_hold.setTimerType(Qt::PreciseTimer);
    connect(&m_hold, &QTimer::timeout, this, &RepaintPacer::release);
    widget->installEventFilter(this);
}

int RepaintPacer::interval() const
{
    const QScreen *screen = m_widget->screen();
    const qreal rate = screen ? screen->refreshRate() : 0;
    return rate > 0 ? qMin(LongestWait, int(1000 / rate)) : LongestWait;
}

void RepaintPacer::changed()
{
    if (m_hold.isActive() || !m_sincePaint.isValid())
        return;
    const qint64 since = m_sincePaint.elapsed();
    if (since >= interval())
        return;
    // Updates asked for meanwhile, by the scene, a scroll or a zoom, are dropped: enabling
    // updates again repaints the whole widget.
    m_widget->setUpdatesEnabled(false);
    m_hold.start(int(interval() - since));
}

void RepaintPacer::release()
{
    m_widget->setUpdatesEnabled(true);
}

bool RepaintPacer::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_widget && event->type() == QEvent::Paint)
        m_sincePaint.start();
    return QObject::eventFilter(watched, event);
}
