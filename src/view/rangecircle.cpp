#include "view/rangecircle.h"

#include <QPaintEngine>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionGraphicsItem>

namespace {

// Pens up to this wide on the device are drawn by Qt's thin-line stroker, whose pixels
// depend on where the outline starts: those circles are always drawn whole.
constexpr qreal ThinPen = 1.5;
// Antialiasing and flattening reach this far, in device pixels, past a curve's control points.
constexpr qreal DeviceMargin = 3;

// The area being painted, in the painter's logical coordinates.
QRectF paintedArea(QPainter *painter, const QTransform &device)
{
    QRectF area = painter->paintEngine()->systemClip().boundingRect();
    if (area.isEmpty()) {
        const QPaintDevice *target = painter->device();
        const qreal ratio = target->devicePixelRatioF();
        area = QRectF(0, 0, target->width() * ratio, target->height() * ratio);
    }
    area = device.inverted().mapRect(area);
    if (painter->hasClipping())
        area &= painter->clipBoundingRect();
    return area;
}

// Strokes those of the four curves of the ellipse in `rect` that can reach the painted area,
// with the painter's pen. Returns false, having drawn nothing, when the whole ellipse must be
// drawn instead: every quarter can show, or the ellipse has no curves at all.
bool strokeShownQuarters(QPainter *painter, const QRectF &rect, const QTransform &device)
{
    // The same four curves the painter would draw the ellipse with: a start, then three
    // points for each quarter.
    QPainterPath outline;
    outline.addEllipse(rect);
    if (outline.elementCount() != 13)
        return false;
    const auto point = [&outline](int index) {
        const QPainterPath::Element e = outline.elementAt(index);
        return QPointF(e.x, e.y);
    };
    const QRectF area = paintedArea(painter, device);
    const qreal margin = painter->pen().widthF() + DeviceMargin / device.m11();
    bool keep[4];
    int kept = 0;
    for (int q = 0; q < 4; ++q) {
        QRectF reach(point(3 * q), point(3 * q + 3));
        reach = reach.normalized() | QRectF(point(3 * q + 1), point(3 * q + 2)).normalized();
        keep[q] = reach.adjusted(-margin, -margin, margin, margin).intersects(area);
        kept += keep[q];
    }
    if (kept == 4)
        return false;
    if (kept == 0)
        return true;

    // Each run of kept quarters starts after a left-out one, so that no run is split where
    // the ellipse's own outline starts.
    int gap = 0;
    while (keep[gap])
        ++gap;
    QPainterPath part;
    for (int i = 1; i <= 4; ++i) {
        const int q = (gap + i) % 4;
        if (!keep[q])
            continue;
        if (!keep[(q + 3) % 4])
            part.moveTo(point(3 * q));
        part.cubicTo(point(3 * q + 1), point(3 * q + 2), point(3 * q + 3));
    }
    painter->drawPath(part);
    return true;
}

} // namespace

void RangeCircle::paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget)
{
    const QTransform device = painter->deviceTransform();
    const qreal scale = device.m11();
    // Only Qt's own rasteriser is known to give the same pixels for the parts as for the whole.
    const bool whole = brush().style() != Qt::NoBrush || spanAngle() != 360 * 16
        || startAngle() != 0 || (option->state & QStyle::State_Selected)
        || device.type() > QTransform::TxScale || scale <= 0 || device.m22() != scale
        || pen().widthF() * scale <= ThinPen
        || painter->paintEngine()->type() != QPaintEngine::Raster;
    if (!whole) {
        painter->setPen(pen());
        painter->setBrush(Qt::NoBrush);
        if (strokeShownQuarters(painter, rect(), device))
            return;
    }
    QGraphicsEllipseItem::paint(painter, option, widget);
}
