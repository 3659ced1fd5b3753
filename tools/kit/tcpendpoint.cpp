#include "tcpendpoint.h"

#include "toolsupport.h"

#include <QTcpServer>
#include <QTcpSocket>

bool TcpEndpoint::listen(const QHostAddress &host, quint16 port, QString *error)
{
    m_server = new QTcpServer(this);
    if (!tools::listen(*m_server, host, port, error))
        return false;
    connect(m_server, &QTcpServer::newConnection, this, &TcpEndpoint::acceptClients);
    return true;
}

quint16 TcpEndpoint::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

void TcpEndpoint::write(const QList<QByteArray> &pieces, bool flushEach)
{
    for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it) {
        for (const QByteArray &piece : pieces) {
            it.key()->write(piece);
            if (flushEach)
                it.key()->flush();
        }
    }
}

qint64 TcpEndpoint::backlog() const
{
    qint64 most = 0;
    for (auto it = m_clients.cbegin(); it != m_clients.cend(); ++it)
        most = qMax(most, it.key()->bytesToWrite());
    return most;
}

void TcpEndpoint::dropClients()
{
    const int count = int(m_clients.size());
    disconnectAll();
    emit said(QStringLiteral("tcp: dropped %1 client(s)").arg(count));
}

void TcpEndpoint::disconnectAll()
{
    // Disconnecting can remove a client from the table at once, so walk a copy.
    const auto clients = m_clients.keys();
    m_clients.clear();
    for (QTcpSocket *socket : clients)
        socket->disconnectFromHost();
}

void TcpEndpoint::acceptClients()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_clients.insert(socket, kit::CommandReader());
        const QString peer
            = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());
        emit said(QStringLiteral("tcp: %1 connected").arg(peer));
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readClient(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket, peer] {
            if (m_clients.remove(socket))
                emit said(QStringLiteral("tcp: %1 disconnected").arg(peer));
            if (m_clients.isEmpty())
                emit emptied();
            socket->deleteLater();
        });
    }
}

void TcpEndpoint::readClient(QTcpSocket *socket)
{
    auto reader = m_clients.find(socket);
    if (reader == m_clients.end())
        return;
    kit::takeCommands(
        *reader, socket->readAll(), QStringLiteral("tcp"),
        [this](const QString &line) { emit said(line); },
        [this](const kit::Command &command) { emit commandReceived(command); });
}
