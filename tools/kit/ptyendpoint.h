#ifndef PTYENDPOINT_H
#define PTYENDPOINT_H

#include "kitprotocol.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QSocketNotifier;

// The kit's serial adapter, as a pseudo-terminal whose path the viewer opens. It knows when a
// viewer has it open, and can be pulled out and plugged back in as a new terminal.
class PtyEndpoint : public QObject
{
    Q_OBJECT

public:
    explicit PtyEndpoint(QObject *parent = nullptr);
    ~PtyEndpoint() override;

    bool open(QString *error);
    QString path() const { return m_path; }
    // A viewer has it open and has had time to set it up.
    bool ready() const;
    void write(const QByteArray &bytes);
    qint64 backlog() const { return m_out.size(); }
    // Nothing is left to go out, nor unread on the viewer's side.
    bool drained() const;
    // As a pulled-out adapter: the terminal hangs up, and a new one is offered a second later.
    void hangUp();

signals:
    void said(const QString &line);
    void commandReceived(const kit::Command &command);

private:
    void close();
    void readOpens();
    void setAttached(bool attached);
    void readCommands();
    void flush();

    int m_master = -1;
    // The kit's own slave end: it keeps the terminal alive between viewers and tells how much
    // of the output is still unread, without opening the terminal again.
    int m_slave = -1;
    int m_openWatch = -1;
    int m_openers = 0;
    bool m_attached = false;
    QElapsedTimer m_settled;
    QString m_path;
    QSocketNotifier *m_read = nullptr;
    QSocketNotifier *m_write = nullptr;
    QSocketNotifier *m_opens = nullptr;
    QByteArray m_out;
    kit::CommandReader m_commands;
    QTimer m_replug;
};

#endif // PTYENDPOINT_H
