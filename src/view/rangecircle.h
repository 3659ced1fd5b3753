#ifndef RANGECIRCLE_H
#define RANGECIRCLE_H

#include <QGraphicsEllipseItem>

// A circle's outline, drawn as Qt draws an ellipse item, but stroking only those of its four
// quarters that can reach the pixels being painted. Qt's rasteriser walks a stroke's whole
// outline over the device, however little of it shows: a range circle reaching far past the
// view, or a repaint of a thin band, then costs as much as painting the whole circle.
// Type, geometry, pen and bounds stay an ellipse item's.
class RangeCircle : public QGraphicsEllipseItem
{
public:
    using QGraphicsEllipseItem::QGraphicsEllipseItem;

    void paint(QPainter *painter, const QStyleOptionGraphicsItem *option, QWidget *widget) override;
};

#endif // RANGECIRCLE_H
