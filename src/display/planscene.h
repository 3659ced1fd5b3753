#ifndef PLANSCENE_H
#define PLANSCENE_H

#include "link/positionreport.h"

#include <QGraphicsScene>
#include <QString>

class QGraphicsEllipseItem;
class QGraphicsTextItem;

// The plan of the latest report: anchors with their range circles, the tag, the origin, their
// labels, then the axes and a grid sized from the scene's rectangle, which only grows. The
// items are made once and moved while that rectangle stays; a grown one rebuilds the plan, so
// that the grid grows with it and stays on top of the markers.
class PlanScene : public QGraphicsScene
{
    Q_OBJECT

public:
    explicit PlanScene(QObject *parent = nullptr);

    void showReport(const PositionReport &report);

private:
    struct Places;
    void build(const Places &places);
    void move(const Places &places);
    void growTo(const QRectF &more);

    static constexpr int AnchorCount = PositionReport::AnchorCount;
    // The scene's rectangle as this plan keeps it: every item's bounds ever drawn. Qt would
    // work it out by asking every grid line on every report.
    QRectF m_grown;
    QRectF m_gridFrom;
    QGraphicsTextItem *m_anchorLabels[AnchorCount] = {};
    QString m_anchorTexts[AnchorCount];
    QGraphicsEllipseItem *m_circles[AnchorCount] = {};
    QGraphicsEllipseItem *m_discs[AnchorCount] = {};
    QGraphicsEllipseItem *m_tagDisc = nullptr;
    QGraphicsTextItem *m_tagLabel = nullptr;
    QString m_tagText;
};

#endif // PLANSCENE_H
