#ifndef TCPENDPOINT_H
#define TCPENDPOINT_H

#include "kitprotocol.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>

class QTcpServer;
class QTcpSocket;

// The kit's network module: serves frames to every TCP client and reads commands from each.
class TcpEndpoint : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    bool listen(const QHostAddress &host, quint16 port, QString *error);
    quint16 port() const;
    bool hasClients() const { return !m_clients.isEmpty(); }
    // Writes every piece to every client; `flushEach` sends each piece on its own.
    void write(const QList<QByteArray> &pieces, bool flushEach);
    // The most any client has still to take.
    qint64 backlog() const;
    // A reboot of the module: every connection ends, and the next one starts afresh.
    void dropClients();
    void disconnectAll();

signals:
    void said(const QString &line);
    void commandReceived(const kit::Command &command);
    // The last client left.
    void emptied();

private:
    void acceptClients();
    void readClient(QTcpSocket *socket);

    QTcpServer *m_server = nullptr;
    QHash<QTcpSocket *, kit::CommandReader> m_clients;
};

#endif // TCPENDPOINT_H
