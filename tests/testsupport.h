#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include "link/positionreport.h"

#include <QApplication>
#include <QByteArray>
#include <QMessageBox>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

// The frame the kit documents: tag 5 at (100, 200, 120) cm, anchors 0..3.
inline QByteArray workedFrame()
{
    return QByteArray::fromHex(
        "37 38 05 00 64 00 C8 00 78 00 01 2C 01 00 FA 02 01 90 03 00 C8 00 00"
        "00 00 00 00 FA 00 01 F4 00 00 00 FA 00 01 F4 01 F4 00 FA 00 00 00"
        "01 F4 00 FA 00 27 28");
}

inline QByteArray frameWith(int tagId, int tagX, int tagY, int tagZ = 120)
{
    ReportFields fields;
    fields.tagId = tagId;
    fields.tagX = tagX;
    fields.tagY = tagY;
    fields.tagZ = tagZ;
    const int xs[] = { 0, 500, 500, 0 };
    const int ys[] = { 0, 0, 400, 400 };
    for (int k = 0; k < 4; ++k) {
        fields.anchorX[k] = xs[k];
        fields.anchorY[k] = ys[k];
        fields.anchorZ[k] = 250;
        fields.range[k] = 100 + 10 * k + tagId;
    }
    return encodePositionReport(fields);
}

// A real pseudo-terminal: the viewer opens the slave by name, the test writes to the master.
class PseudoTerminal
{
public:
    PseudoTerminal()
    {
        char name[256] = {};
        if (openpty(&m_master, &m_slave, name, nullptr, nullptr) == 0) {
            m_name = QString::fromLocal8Bit(name);
            termios raw;
            tcgetattr(m_slave, &raw);
            cfmakeraw(&raw);
            tcsetattr(m_slave, TCSANOW, &raw);
            fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
        }
    }
    ~PseudoTerminal()
    {
        if (m_master >= 0)
            ::close(m_master);
        if (m_slave >= 0)
            ::close(m_slave);
    }
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isValid() const { return !m_name.isEmpty(); }
    QString slaveName() const { return m_name; }

    bool write(const QByteArray &bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n
                = ::write(m_master, bytes.constData() + done, size_t(bytes.size() - done));
            if (n <= 0)
                return false;
            done += n;
        }
        return true;
    }

    QByteArray readAvailable()
    {
        QByteArray out;
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(m_master, chunk, sizeof chunk)) > 0)
            out.append(chunk, int(n));
        return out;
    }

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_name;
};

// Message boxes are modal: this closes each one as it opens and keeps its title and text.
class MessageBoxCatcher : public QObject
{
public:
    MessageBoxCatcher()
    {
        m_timer.setInterval(10);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] {
            for (QWidget *widget : QApplication::topLevelWidgets()) {
                auto *box = qobject_cast<QMessageBox *>(widget);
                if (box && box->isVisible()) {
                    titles << box->windowTitle();
                    texts << box->text();
                    box->done(0);
                }
            }
        });
        m_timer.start();
    }

    QStringList titles;
    QStringList texts;

private:
    QTimer m_timer;
};

} // namespace testsupport

#endif // TESTSUPPORT_H
