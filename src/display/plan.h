#ifndef PLAN_H
#define PLAN_H

struct PositionReport;
class QGraphicsScene;

// Rebuilds the whole plan of one report: anchors with their range circles, the tag, the
// origin, their labels, then the axes and a grid sized from the scene's grown rectangle.
void drawPlan(QGraphicsScene *scene, const PositionReport &report);

#endif // PLAN_H
