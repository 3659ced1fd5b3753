#include "view/graphicsview.h"

#include <QKeyEvent>
#include <QWheelEvent>

namespace {

constexpr float ZoomStep = 0.1f;
constexpr float LowestZoom = 0.1f;
// The view's extent as the window lays it out, not its current viewport.
constexpr double FitWidth = 1000;
constexpr double FitHeight = 900;

} // namespace

GraphicsView::GraphicsView(QWidget *parent)
    : QGraphicsView(parent)
    , zoomFactor(1.0f)
{ }

void GraphicsView::wheelEvent(QWheelEvent *event)
{
    if (!(event->modifiers() & Qt::ControlModifier)) {
        QGraphicsView::wheelEvent(event);
        return;
    }
    // One step per event, whatever its size; the dominant axis gives the direction.
    const QPoint angle = event->angleDelta();
    const int delta = qAbs(angle.x()) > qAbs(angle.y()) ? angle.x() : angle.y();
    if (delta > 0) {
        zoomFactor = zoomFactor + ZoomStep;
    } else {
        const float candidate = zoomFactor - ZoomStep;
        zoomFactor = candidate < LowestZoom ? LowestZoom : candidate;
    }
    emit sceneMaxtrixChanged();
    event->accept();
}

void GraphicsView::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Space) {
        emit sceneFitView();
        event->accept();
        return;
    }
    QGraphicsView::keyPressEvent(event);
}

QTransform zoomTransform(float factor)
{
    QTransform transform;
    transform.scale(factor, factor);
    return transform;
}

bool fitFactor(const QRectF &sceneRect, float &factor)
{
    const double w = sceneRect.width();
    const double h = sceneRect.height();
    if (w <= 0 && h <= 0)
        return false;
    const float a = float(FitWidth / w);
    float s = a > FitHeight / h ? float(FitHeight / h) : a;
    if (s < LowestZoom)
        s = LowestZoom;
    factor = s;
    return true;
}
