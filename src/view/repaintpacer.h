#ifndef REPAINTPACER_H
#define REPAINTPACER_H

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QWidget;

// Holds a widget's repaints to one per display frame. The line brings up to 221 reports a
// second and a screen shows about 60: painting each one costs a core and shows nothing
// more. A change that comes within a frame of the last paint is painted when that frame is
// over, so the newest state, the last report of a pause included, is always on screen.
class RepaintPacer : public QObject
{
    Q_OBJECT

public:
    explicit RepaintPacer(QWidget *widget);

    // Call after changing what the widget shows.
    void changed();

    // The shortest time between two paints, in milliseconds.
    int interval() const;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void release();

    QWidget *m_widget;
    QElapsedTimer m_sincePaint;
    QTimer m_hold;
};

#endif // REPAINTPACER_H
