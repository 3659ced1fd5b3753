#ifndef GRAPHICSVIEW_H
#define GRAPHICSVIEW_H

#include <QGraphicsView>

// The plan's view. It only keeps the zoom factor and asks the window to apply it;
// the window owns the transformation.
class GraphicsView : public QGraphicsView
{
    Q_OBJECT

public:
    explicit GraphicsView(QWidget *parent = nullptr);

    float zoomFactor;

signals:
    void sceneMaxtrixChanged();
    void sceneFitView();

protected:
    void wheelEvent(QWheelEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
};

// The transformation that shows the plan at `factor` times its size on both axes.
QTransform zoomTransform(float factor);

// The factor that fits `sceneRect` into the view's fixed 1000 by 900 pixels, never below the
// lowest zoom; false when nothing has been drawn yet and there is nothing to fit.
bool fitFactor(const QRectF &sceneRect, float &factor);

#endif // GRAPHICSVIEW_H
