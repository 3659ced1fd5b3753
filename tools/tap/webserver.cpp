#include "webserver.h"

#include "httprequest.h"
#include "toolsupport.h"

#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

namespace {

// The page's own files, built into the program.
const QHash<QByteArray, QPair<QString, QByteArray>> &pages()
{
    static const QHash<QByteArray, QPair<QString, QByteArray>> files {
        { "/", { ":/web/index.html", "text/html; charset=utf-8" } },
        { "/index.html", { ":/web/index.html", "text/html; charset=utf-8" } },
        { "/app.js", { ":/web/app.js", "text/javascript; charset=utf-8" } },
        { "/style.css", { ":/web/style.css", "text/css; charset=utf-8" } },
    };
    return files;
}

// Only the page's own scripts and styles, and its own stream.
const QByteArray SecurityHeaders
    = "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
      "connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none'; "
      "frame-ancestors 'none'\r\n"
      "X-Content-Type-Options: nosniff\r\n"
      "Referrer-Policy: no-referrer\r\n"
      "Cache-Control: no-cache\r\n";

QByteArray reason(int code)
{
    switch (code) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 426:
        return "Upgrade Required";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    }
    return "Error";
}

} // namespace

// A library's resources are not registered by themselves.
static void registerPage()
{
    Q_INIT_RESOURCE(web);
}

WebServer::WebServer(QObject *parent)
    : QObject(parent)
{
    registerPage();
    m_websockets
        = new QWebSocketServer(QStringLiteral("zorvan-tap"), QWebSocketServer::NonSecureMode, this);
    connect(m_websockets, &QWebSocketServer::newConnection, this, &WebServer::adopt);
    m_flush.setInterval(1000 / MessagesPerSecond);
    connect(&m_flush, &QTimer::timeout, this, &WebServer::flush);
    m_expire.setInterval(1000);
    connect(&m_expire, &QTimer::timeout, this, [this] {
        const auto sockets = m_pending.keys();
        for (QTcpSocket *socket : sockets) {
            if (m_pending.value(socket).hasExpired(RequestTimeoutMs))
                respond(socket, 408, "text/plain; charset=utf-8", "The request took too long.\n");
        }
    });
}

WebServer::~WebServer() = default;

bool WebServer::listen(const QHostAddress &host, quint16 port, QString *error)
{
    m_server = new QTcpServer(this);
    if (!tools::listen(*m_server, host, port, error))
        return false;
    connect(m_server, &QTcpServer::newConnection, this, &WebServer::accept);
    m_expire.start();
    return true;
}

quint16 WebServer::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

void WebServer::accept()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        if (m_pending.size() >= MaxPending) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        // Bounded even before the head is complete: more than a head is never read.
        socket->setReadBufferSize(HttpRequest::MaxSize + 1);
        QElapsedTimer since;
        since.start();
        m_pending.insert(socket, since);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (m_pending.remove(socket))
                socket->deleteLater();
        });
    }
}

void WebServer::readRequest(QTcpSocket *socket)
{
    if (!m_pending.contains(socket))
        return;
    // Peeked, not read: a WebSocket handshake is handed on whole.
    HttpRequest request;
    switch (request.parse(socket->peek(HttpRequest::MaxSize + 1))) {
    case HttpRequest::State::Incomplete:
        return;
    case HttpRequest::State::TooLarge:
        respond(socket, 431, "text/plain; charset=utf-8", "The request's head is too large.\n");
        return;
    case HttpRequest::State::Malformed:
        respond(socket, 400, "text/plain; charset=utf-8", "That is not an HTTP request.\n");
        return;
    case HttpRequest::State::Complete:
        break;
    }
    if (request.method() != "GET") {
        respond(socket, 405, "text/plain; charset=utf-8", "Only GET is served here.\n",
                "Allow: GET\r\n");
        return;
    }
    if (request.path() != "/live") {
        const auto page = pages().find(request.path());
        if (page == pages().end()) {
            respond(socket, 404, "text/plain; charset=utf-8", "Not found.\n");
            return;
        }
        QFile file(page->first);
        file.open(QIODevice::ReadOnly);
        respond(socket, 200, page->second, file.readAll());
        return;
    }
    if (!request.headerHas("Upgrade", "websocket")) {
        respond(socket, 426, "text/plain; charset=utf-8", "/live is a WebSocket.\n",
                "Upgrade: websocket\r\n");
        return;
    }
    // Another site open in the same browser may not read the stream.
    const QByteArray host = request.header("Host");
    if (host.isEmpty() || request.header("Origin") != "http://" + host) {
        respond(socket, 403, "text/plain; charset=utf-8",
                "The stream is for the page served here only.\n");
        return;
    }
    if (m_clients.size() >= MaxClients) {
        respond(socket, 503, "text/plain; charset=utf-8",
                QByteArray::number(MaxClients)
                    + " browsers are watching already, the most this tap serves. Close one and "
                      "try again.\n");
        return;
    }
    m_pending.remove(socket);
    socket->disconnect(this);
    socket->setReadBufferSize(0);
    // A small send buffer lets a browser that stops reading show as one.
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 64 * 1024);
    m_websockets->handleConnection(socket);
}

void WebServer::respond(QTcpSocket *socket, int code, const QByteArray &type,
                        const QByteArray &body, const QByteArray &extra)
{
    m_pending.remove(socket);
    socket->disconnect(this);
    socket->write("HTTP/1.1 " + QByteArray::number(code) + ' ' + reason(code) + "\r\n"
                  + "Content-Type: " + type
                  + "\r\nContent-Length: " + QByteArray::number(body.size())
                  + "\r\nConnection: close\r\n" + SecurityHeaders + extra + "\r\n" + body);
    socket->disconnectFromHost();
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    // Whatever the client sent on top is not read.
    if (socket->state() == QAbstractSocket::UnconnectedState)
        socket->deleteLater();
}

void WebServer::adopt()
{
    while (QWebSocket *socket = m_websockets->nextPendingConnection()) {
        // Nothing a browser sends is used; a large message ends its connection.
        socket->setMaxAllowedIncomingMessageSize(1024);
        socket->setMaxAllowedIncomingFrameSize(1024);
        Client client;
        client.sinceProgress.start();
        m_clients.insert(socket, client);
        connect(socket, &QWebSocket::disconnected, this, [this, socket] { drop(socket); });
        if (!m_flush.isActive())
            m_flush.start();
    }
}

void WebServer::drop(QWebSocket *socket)
{
    if (!m_clients.remove(socket))
        return;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    if (m_clients.isEmpty())
        m_flush.stop();
}

void WebServer::report(int tag, const QByteArray &json)
{
    for (Client &client : m_clients)
        client.pending.insert(tag, json);
}

void WebServer::status(const QByteArray &json)
{
    report(-1, json);
}

void WebServer::flush()
{
    const auto sockets = m_clients.keys();
    for (QWebSocket *socket : sockets) {
        Client &client = m_clients[socket];
        // What waits for the browser has shrunk, or nothing waits: it is reading.
        const qint64 backlog = socket->bytesToWrite();
        if (backlog == 0 || backlog < client.backlog)
            client.sinceProgress.start();
        else if (client.sinceProgress.hasExpired(StallMs)) {
            emit said(QStringLiteral("browser %1:%2 stopped reading; let go")
                          .arg(socket->peerAddress().toString())
                          .arg(socket->peerPort()));
            drop(socket);
            continue;
        }
        if (backlog <= MaxBacklog) {
            for (const QByteArray &json : std::as_const(client.pending))
                socket->sendTextMessage(QString::fromUtf8(json));
            client.pending.clear();
        }
        client.backlog = socket->bytesToWrite();
    }
}
