#ifndef REPAINTPACER_H
#define REPAINTPACER_H

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

// Holds a window's repaints to one per display frame. The line brings up to 221 reports a
// second and a screen shows about 60: painting each one costs a core and shows nothing
// more. An update asked for within a frame of the last is held until that frame is over,
// with every region dirtied meanwhile, so the newest state, the last report of a pause
// included, is always painted.
class RepaintPacer : public QObject
{
    Q_OBJECT

public:
    explicit RepaintPacer(QWidget *window);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // The shortest time between two paints, in milliseconds.
    int interval() const;
    void release();

    QWidget *m_window;
    QElapsedTimer m_sincePaint;
    QTimer m_hold;
    bool m_releasing = false;
};

#endif // REPAINTPACER_H
