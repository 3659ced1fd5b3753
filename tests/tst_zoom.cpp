#include "app/mainwindow.h"
#include "view/graphicsview.h"

#include <QGraphicsScene>
#include <QScrollBar>
#include <QtTest>

namespace {

void wheel(GraphicsView *view, int delta, Qt::KeyboardModifiers modifiers)
{
    const QPointF at(500, 450);
    QWheelEvent event(at, view->mapToGlobal(at.toPoint()), QPoint(), QPoint(0, delta), Qt::NoButton,
                      modifiers, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view->viewport(), &event);
}

void addArea(QGraphicsScene *scene, qreal width, qreal height)
{
    scene->addRect(QRectF(0, 0, width, height), QPen(Qt::NoPen));
}

} // namespace

class ZoomTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void wheelSteps_data();
    void wheelSteps();
    void wheelWithoutCtrlScrolls();
    void fit_data();
    void fit();
    void fitWithNothingDrawn();
    void spaceFitsWhateverTheModifiers();

private:
    MainWindow *window = nullptr;
    GraphicsView *view = nullptr;
};

void ZoomTest::init()
{
    window = new MainWindow;
    view = window->findChild<GraphicsView *>();
    QVERIFY(view);
}

void ZoomTest::cleanup()
{
    delete window;
    window = nullptr;
}

void ZoomTest::wheelSteps_data()
{
    QTest::addColumn<float>("start");
    QTest::addColumn<QList<int>>("deltas");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QList<float>>("expected");

    const int ctrl = Qt::ControlModifier;
    QTest::newRow("forward twice")
        << 1.0f << QList<int> { 120, 120 } << ctrl << QList<float> { 1.1f, 1.2f };
    QTest::newRow("back from 0.15 hits the floor")
        << 0.15f << QList<int> { -120, -120 } << ctrl << QList<float> { 0.1f, 0.1f };
    QTest::newRow("zero delta steps back")
        << 1.0f << QList<int> { 0 } << ctrl << QList<float> { 0.9f };
    QTest::newRow("a small delta is a whole step")
        << 1.0f << QList<int> { 15 } << ctrl << QList<float> { 1.1f };
    QTest::newRow("ctrl+shift zooms")
        << 1.0f << QList<int> { 120 } << int(Qt::ControlModifier | Qt::ShiftModifier)
        << QList<float> { 1.1f };
}

void ZoomTest::wheelSteps()
{
    QFETCH(float, start);
    QFETCH(QList<int>, deltas);
    QFETCH(int, modifiers);
    QFETCH(QList<float>, expected);

    view->zoomFactor = start;
    QSignalSpy changed(view, SIGNAL(sceneMaxtrixChanged()));
    QVERIFY(changed.isValid());
    for (int i = 0; i < deltas.size(); ++i) {
        wheel(view, deltas.at(i), Qt::KeyboardModifiers(modifiers));
        QCOMPARE(view->zoomFactor, expected.at(i));
        QCOMPARE(view->transform(), QTransform::fromScale(expected.at(i), expected.at(i)));
    }
    QCOMPARE(changed.count(), deltas.size());
}

void ZoomTest::wheelWithoutCtrlScrolls()
{
    addArea(window->findChild<QGraphicsScene *>(), 20000, 20000);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    const int before = view->verticalScrollBar()->value();
    wheel(view, -120, Qt::NoModifier);
    QCOMPARE(view->zoomFactor, 1.0f);
    QVERIFY(view->transform().isIdentity());
    QVERIFY(view->verticalScrollBar()->value() != before);
}

void ZoomTest::fit_data()
{
    QTest::addColumn<QSizeF>("area");
    QTest::addColumn<float>("expected");

    QTest::newRow("wide") << QSizeF(2000, 900) << 0.5f;
    QTest::newRow("small square") << QSizeF(100, 100) << 9.0f;
    QTest::newRow("too wide for the floor") << QSizeF(20000, 900) << 0.1f;
    QTest::newRow("too tall for the floor") << QSizeF(100, 18000) << 0.1f;
    QTest::newRow("tie goes to width") << QSizeF(1000, 900) << 1.0f;
}

void ZoomTest::fit()
{
    QFETCH(QSizeF, area);
    QFETCH(float, expected);

    addArea(window->findChild<QGraphicsScene *>(), area.width(), area.height());
    QTest::keyClick(view, Qt::Key_Space);
    QCOMPARE(view->zoomFactor, expected);
    QCOMPARE(view->transform(), QTransform::fromScale(expected, expected));

    // Wheel steps go on from the fitted factor.
    wheel(view, 120, Qt::ControlModifier);
    QCOMPARE(view->zoomFactor, expected + 0.1f);
}

void ZoomTest::fitWithNothingDrawn()
{
    view->zoomFactor = 1.3f;
    view->setTransform(QTransform::fromScale(1.3, 1.3));
    QTest::keyClick(view, Qt::Key_Space);
    QCOMPARE(view->zoomFactor, 1.3f);
    QCOMPARE(view->transform(), QTransform::fromScale(1.3, 1.3));
}

void ZoomTest::spaceFitsWhateverTheModifiers()
{
    addArea(window->findChild<QGraphicsScene *>(), 2000, 900);
    QSignalSpy fits(view, SIGNAL(sceneFitView()));
    QVERIFY(fits.isValid());
    QTest::keyClick(view, Qt::Key_Space, Qt::ControlModifier | Qt::AltModifier);
    QCOMPARE(fits.count(), 1);
    QCOMPARE(view->zoomFactor, 0.5f);
    QTest::keyClick(view, Qt::Key_Down);
    QCOMPARE(fits.count(), 1);
}

QTEST_MAIN(ZoomTest)
#include "tst_zoom.moc"
