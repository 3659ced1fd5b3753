#include "display/planscene.h"

#include "app/mainwindow.h"
#include "display/projection.h"

#include <QGraphicsEllipseItem>
#include <QGraphicsLineItem>
#include <QGraphicsTextItem>

namespace {

// A small plan still gets a grid over a 100 m square: the extent in tenths must reach 1000.
constexpr double MinimumGridExtent = 10000;
constexpr double GridScale = 0.1;
constexpr double MinimumScaledExtent = 1000;
constexpr int GridSpacing = 100;

// A line's bounding rectangle is its stroke's, which Qt strokes anew on every call: for each
// painted frame, every grid line is asked once. The plan never changes a line after adding it,
// so the rectangle Qt would give is taken once. Type and geometry stay a line item's.
class PlanLine : public QGraphicsLineItem
{
public:
    PlanLine(const QLineF &line, const QPen &pen)
        : QGraphicsLineItem(line)
    {
        setPen(pen);
        m_bounds = QGraphicsLineItem::boundingRect();
    }

    QRectF boundingRect() const override { return m_bounds; }

private:
    QRectF m_bounds;
};

QGraphicsTextItem *addLabel(QGraphicsScene *scene, const QString &text, int x, int y,
                            Qt::GlobalColor colour, const QFont &font)
{
    // The font goes first, so that the text is laid out once, not once per font.
    auto *label = new QGraphicsTextItem;
    label->setFont(font);
    label->setPlainText(text);
    label->setDefaultTextColor(colour);
    label->setPos(x, y);
    scene->addItem(label);
    return label;
}

QRectF discRect(int x, int y, int diameter)
{
    const int radius = diameter / 2;
    return QRectF(x - radius, y - radius, diameter, diameter);
}

QGraphicsEllipseItem *addDisc(QGraphicsScene *scene, int x, int y, int diameter, const QPen &pen,
                              Qt::GlobalColor colour)
{
    return scene->addEllipse(discRect(x, y, diameter), pen, QBrush(colour, Qt::SolidPattern));
}

QRectF circleRect(int x, int y, int r)
{
    return QRectF(x - r, y - r, 2 * r, 2 * r);
}

QGraphicsLineItem *addLine(QGraphicsScene *scene, const QLineF &line, const QPen &pen)
{
    auto *item = new PlanLine(line, pen);
    scene->addItem(item);
    return item;
}

// The grid is centred on the origin and follows the scene's rectangle. Returns the rectangle
// it covers: that of its two axes, which reach past every line.
QRectF addGrid(QGraphicsScene *scene)
{
    const QRectF bounds = scene->sceneRect();
    double height = bounds.height();
    double width = bounds.width();
    if (height * GridScale < MinimumScaledExtent)
        height = MinimumGridExtent;
    if (width * GridScale < MinimumScaledExtent)
        width = MinimumGridExtent;
    const int hi = int(height);
    const int wi = int(width);
    const int rows = hi / (2 * GridSpacing);
    const int columns = wi / (2 * GridSpacing);
    const int left = 2 - wi / 2;
    const int right = wi / 2 - 2;
    const int top = 2 - hi / 2;
    const int bottom = hi / 2 - 2;

    QPen pen;
    pen.setBrush(QBrush(Qt::black, Qt::SolidPattern));
    pen.setStyle(Qt::SolidLine);
    pen.setWidth(5);
    const QGraphicsLineItem *xAxis = addLine(scene, QLineF(left, 0, right, 0), pen);
    const QGraphicsLineItem *yAxis = addLine(scene, QLineF(0, top, 0, bottom), pen);
    const QRectF covered = xAxis->sceneBoundingRect() | yAxis->sceneBoundingRect();

    pen.setBrush(QBrush(Qt::darkGray, Qt::SolidPattern));
    pen.setWidth(2);
    for (int k = 1; k < rows; ++k) {
        addLine(scene, QLineF(left, GridSpacing * k, right, GridSpacing * k), pen);
        addLine(scene, QLineF(left, -GridSpacing * k, right, -GridSpacing * k), pen);
    }
    for (int k = 1; k < columns; ++k) {
        addLine(scene, QLineF(GridSpacing * k, top, GridSpacing * k, bottom), pen);
        addLine(scene, QLineF(-GridSpacing * k, top, -GridSpacing * k, bottom), pen);
    }
    return covered;
}

void moveLabel(QGraphicsTextItem *label, QString &shown, const QString &text, int x, int y)
{
    if (shown != text) {
        shown = text;
        label->setPlainText(text);
    }
    label->setPos(x, y);
}

} // namespace

// Where one report puts things, in scene coordinates but for the tag's label, which keeps the
// plan's sense of y.
struct PlanScene::Places
{
    explicit Places(const PositionReport &report)
    {
        for (int k = 0; k < AnchorCount; ++k) {
            reach[k] = projectHorizontalRange(report.range[k], report.heightDiff[k]);
            ax[k] = centimetres(report.anchorX[k]);
            ay[k] = -centimetres(report.anchorY[k]);
            anchorTexts[k] = MainWindow::tr("%1").arg(report.anchorId[k]);
        }
        tx = centimetres(report.tagX);
        ty = centimetres(report.tagY);
        tagText = MainWindow::tr("[%1,%2]").arg(tx).arg(ty);
    }

    int ax[AnchorCount];
    int ay[AnchorCount];
    int reach[AnchorCount];
    QString anchorTexts[AnchorCount];
    int tx, ty;
    QString tagText;
};

PlanScene::PlanScene(QObject *parent)
    : QGraphicsScene(parent)
{
    // Every marker moves on every report: an index would be rebuilt as often as it is used.
    setItemIndexMethod(NoIndex);
}

void PlanScene::showReport(const PositionReport &report)
{
    const Places places(report);
    // Every item may change on every report. Marking the whole scene for repaint first spares
    // Qt from working out the area of each item as it is changed, removed or added.
    update();
    m_grown = sceneRect();
    if (m_tagLabel && m_gridFrom == m_grown)
        move(places);
    else
        build(places);
}

void PlanScene::build(const Places &p)
{
    // Pens and font are built once: resolving the font on every report costs more than drawing it.
    static const QPen rangePen(QBrush(Qt::darkBlue, Qt::SolidPattern), 2);
    static const QPen markerPen(Qt::NoPen);
    static const QFont font = [] {
        QFont labelFont;
        labelFont.setWeight(QFont::Bold);
        labelFont.setPointSize(25);
        return labelFont;
    }();

    clear();
    m_gridFrom = sceneRect();
    for (int k = 0; k < AnchorCount; ++k) {
        m_anchorTexts[k] = p.anchorTexts[k];
        m_anchorLabels[k]
            = addLabel(this, p.anchorTexts[k], p.ax[k] + 5, p.ay[k] + 5, Qt::blue, font);
    }
    addDisc(this, 0, 0, 30, markerPen, Qt::red);
    for (int k = 0; k < AnchorCount; ++k) {
        m_circles[k]
            = addEllipse(circleRect(p.ax[k], p.ay[k], p.reach[k]), rangePen, QBrush(Qt::NoBrush));
        m_discs[k] = addDisc(this, p.ax[k], p.ay[k], 20, markerPen, Qt::blue);
    }
    m_tagDisc = addDisc(this, p.tx, -p.ty, 20, markerPen, Qt::green);
    m_tagText = p.tagText;
    m_tagLabel = addLabel(this, p.tagText, p.tx + 5, -p.ty + 5, Qt::green, font);
    addLabel(this, MainWindow::tr("[%1,%2]").arg(0).arg(0), 5, 5, Qt::red, font);
    growTo(itemsBoundingRect());
    growTo(addGrid(this));
}

// The same items as a full build would make, moved to this report's places.
void PlanScene::move(const Places &p)
{
    QRectF moved;
    for (int k = 0; k < AnchorCount; ++k) {
        moveLabel(m_anchorLabels[k], m_anchorTexts[k], p.anchorTexts[k], p.ax[k] + 5, p.ay[k] + 5);
        m_circles[k]->setRect(circleRect(p.ax[k], p.ay[k], p.reach[k]));
        m_discs[k]->setRect(discRect(p.ax[k], p.ay[k], 20));
        moved |= m_anchorLabels[k]->sceneBoundingRect() | m_circles[k]->sceneBoundingRect()
            | m_discs[k]->sceneBoundingRect();
    }
    m_tagDisc->setRect(discRect(p.tx, -p.ty, 20));
    moveLabel(m_tagLabel, m_tagText, p.tagText, p.tx + 5, -p.ty + 5);
    growTo(moved | m_tagDisc->sceneBoundingRect() | m_tagLabel->sceneBoundingRect());
}

void PlanScene::growTo(const QRectF &more)
{
    m_grown |= more;
    if (sceneRect() != m_grown)
        setSceneRect(m_grown);
}
