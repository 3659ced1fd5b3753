#ifndef FOOTPRINT_H
#define FOOTPRINT_H

#include <QRect>
#include <QRegion>
#include <QTransform>

#include <vector>

class QGraphicsView;

// The pixels of a view's viewport that some items cover, gathered before and after they move:
// all that must be repainted for the move. A range circle's bounding rectangle spans most of
// the view, but its outline covers only a thin ring of it; repainting the ring and leaving the
// rest of the viewport as it was spares filling and redrawing the whole view for every frame.
class Footprint
{
public:
    explicit Footprint(const QGraphicsView *view);

    // An item drawn within `sceneRect`, its scene bounding rectangle.
    void addRect(const QRectF &sceneRect);
    // The outline of a circle, stroked by a pen `penWidth` wide in scene units, as it moves
    // from the circle inscribed in `before` to the one inscribed in `after`.
    void addCircle(const QRectF &before, const QRectF &after, qreal penWidth);

    QRegion region() const;

private:
    // Pixels between `inner` and `outer` from `centre`, in viewport pixels.
    void addRing(const QPointF &centre, double inner, double outer);
    void addSpan(int band, int left, int right);

    QTransform m_transform;
    QRect m_viewport;
    // Only a scale the same on both axes, and a shift, keep a circle a circle on screen.
    bool m_keepsCircles;
    // Columns [left, right) covered in a band of rows.
    struct Span
    {
        int band, left, right;
    };
    int m_bandCount;
    std::vector<Span> m_spans;
};

#endif // FOOTPRINT_H
