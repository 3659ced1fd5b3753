#ifndef WEBSERVER_H
#define WEBSERVER_H

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QTimer>

class QTcpServer;
class QTcpSocket;
class QWebSocket;
class QWebSocketServer;

// Serves the page that draws the plan in a browser, and streams the reports to it over a
// WebSocket at /live. Only GET of the page's own files; nothing from a browser reaches the kit.
// HTTP is read by a small bounded responder of ours; the WebSocket protocol is Qt's.
class WebServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxClients = 32;
    // Connections that have not finished their request yet; more are closed at once.
    static constexpr int MaxPending = 64;
    // A request must arrive whole within this long.
    static constexpr int RequestTimeoutMs = 10000;
    // What may wait for one browser before it gets only the newest of each tag.
    static constexpr qint64 MaxBacklog = 256 * 1024;
    // A browser that takes nothing for this long is let go.
    static constexpr int StallMs = 10000;
    // At most this many messages a second per tag and browser: a screen shows no more.
    static constexpr int MessagesPerSecond = 60;

    explicit WebServer(QObject *parent = nullptr);
    ~WebServer() override;

    bool listen(const QHostAddress &host, quint16 port, QString *error);
    quint16 port() const;
    int clients() const { return int(m_clients.size()); }

    // The newest report of tag `tag`, as JSON; each browser gets the newest at its own pace.
    void report(int tag, const QByteArray &json);
    // The tap's state, once a second.
    void status(const QByteArray &json);

signals:
    void said(const QString &line);

private:
    struct Client
    {
        QMap<int, QByteArray> pending; // by tag; -1 holds the status
        QElapsedTimer sinceProgress;
        qint64 backlog = 0;
    };

    void accept();
    void readRequest(QTcpSocket *socket);
    void respond(QTcpSocket *socket, int code, const QByteArray &type, const QByteArray &body,
                 const QByteArray &extra = {});
    void adopt();
    void flush();
    void drop(QWebSocket *socket);

    QTcpServer *m_server = nullptr;
    QWebSocketServer *m_websockets = nullptr;
    QHash<QTcpSocket *, QElapsedTimer> m_pending;
    QHash<QWebSocket *, Client> m_clients;
    QTimer m_flush;
    QTimer m_expire;
};

#endif // WEBSERVER_H
