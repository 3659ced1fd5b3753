#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include "app/mainwindow.h"
#include "kitframes.h"
#include "link/positionreport.h"
#include "toolprocess.h"

#include <QApplication>
#include <QByteArray>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QString>
#include <QTimer>
#include <QWidget>

#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport {

// Chooses `path` and presses Open, as a user would; true once the link is open. The listing
// offers only the machine's own ports, so the path is added to it first.
inline bool openSerialLink(MainWindow &window, const QString &path)
{
    auto *ports = window.findChild<QComboBox *>(QStringLiteral("serialComboBox"));
    ports->addItem(path);
    ports->setCurrentIndex(ports->count() - 1);
    auto *button = window.findChild<QPushButton *>(QStringLiteral("serialPushBtn"));
    button->setEnabled(true);
    button->click();
    return button->text() == QLatin1String("Close");
}

// Types 127.0.0.1 and `port` and presses Connect; true once connected.
inline bool connectTcpLink(MainWindow &window, quint16 port)
{
    window.findChild<QLineEdit *>(QStringLiteral("ipLineEdit"))
        ->setText(QStringLiteral("127.0.0.1"));
    window.findChild<QLineEdit *>(QStringLiteral("portLineEdit"))->setText(QString::number(port));
    auto *button = window.findChild<QPushButton *>(QStringLiteral("wifiPushBtn"));
    button->click();
    return button->text() == QLatin1String("Disconnect");
}

// CPU seconds the whole process spends while the event loop runs idle for `ms`. A loop that
// spins uses all of it, so a low figure is no timing race.
inline double cpuSecondsDuring(int ms)
{
    const double before = ownCpuSeconds();
    QTest::qWait(ms);
    return ownCpuSeconds() - before;
}

// The tag identifier of every report the window announces, in order.
class ReportLog : public QObject
{
public:
    explicit ReportLog(MainWindow &window)
    {
        QObject::connect(&window, &MainWindow::sendAnalyzeData, this,
                         [this, &window] { tagIds << window.currentReport().tagId; });
    }

    QList<int> tagIds;
};

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
    // What pulling out an adapter looks like to the viewer: the terminal hangs up.
    void hangUp()
    {
        ::close(m_master);
        m_master = -1;
    }
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
