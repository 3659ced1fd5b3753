#include "toolprocess.h"

#include <QTcpSocket>
#include <QWebSocket>
#include <QtTest>

#include <memory>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The tap with its page on a free port, fed by the simulator.
struct TapWithPage
{
    ToolProcess kit;
    ToolProcess tap { "zorvan-tap" };
    quint16 web = 0;

    bool start(const QStringList &kitArguments = { "--rate", "50" })
    {
        if (!kit.start(kitArguments)
            || !tap.start({ "--kit", QStringLiteral("127.0.0.1:%1").arg(kit.port()), "--quiet",
                            "--web", "127.0.0.1:0" }))
            return false;
        const QRegularExpression re(QStringLiteral("^web: http://127.0.0.1:(\\d+)/$"));
        return tap.waitFor(
            [&] {
                for (const QString &line : tap.lines()) {
                    const auto match = re.match(line);
                    if (match.hasMatch())
                        web = quint16(match.captured(1).toUInt());
                }
                return web != 0;
            },
            PatienceMs);
    }

    QString host() const { return QStringLiteral("127.0.0.1:%1").arg(web); }
};

// Sends `request` as a raw client and returns what the tap answers before it closes.
QByteArray ask(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(PatienceMs))
        return {};
    socket.write(request);
    QByteArray answer;
    QElapsedTimer clock;
    clock.start();
    while (socket.state() == QAbstractSocket::ConnectedState && clock.elapsed() < PatienceMs) {
        socket.waitForReadyRead(100);
        answer += socket.readAll();
    }
    return answer + socket.readAll();
}

QByteArray upgrade(const QString &host, const QByteArray &origin)
{
    return "GET /live HTTP/1.1\r\nHost: " + host.toUtf8()
        + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nOrigin: " + origin
        + "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

} // namespace

class WebTest : public QObject
{
    Q_OBJECT

private slots:
    void requests_data();
    void requests();
    void browserGetsReports();
    void stalledBrowserIsLetGo();
    void thirtyThirdBrowserIsRefused();
};

void WebTest::requests_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<QByteArray>("contains");
    const QByteArray host = "Host: 127.0.0.1:%PORT%\r\n";
    QTest::newRow("the page, with its policy")
        << "GET / HTTP/1.1\r\n" + host + "\r\n"
        << QByteArray("200")
        << QByteArray("Content-Security-Policy: default-src 'none'; script-src 'self'");
    QTest::newRow("its script") << "GET /app.js?v=1 HTTP/1.1\r\n" + host + "\r\n"
                                << QByteArray("200") << QByteArray("text/javascript");
    QTest::newRow("anything else") << "GET /etc/passwd HTTP/1.1\r\n" + host + "\r\n"
                                   << QByteArray("404") << QByteArray();
    QTest::newRow("a POST") << "POST / HTTP/1.1\r\n" + host + "Content-Length: 2\r\n\r\nhi"
                            << QByteArray("405") << QByteArray("Allow: GET");
    QTest::newRow("the stream without an upgrade") << "GET /live HTTP/1.1\r\n" + host + "\r\n"
                                                   << QByteArray("426") << QByteArray();
    QTest::newRow("the stream from another site")
        << upgrade("127.0.0.1:%PORT%", "http://evil.example") << QByteArray("403") << QByteArray();
    QTest::newRow("the stream without an origin")
        << upgrade("127.0.0.1:%PORT%", "") << QByteArray("403") << QByteArray();
    QTest::newRow("1 MB of headers") << "GET / HTTP/1.1\r\n"
            + QByteArray("X-Junk: ").append(QByteArray(1024 * 1024, 'a')) + "\r\n\r\n"
                                     << QByteArray("431") << QByteArray();
    QTest::newRow("not HTTP") << QByteArray("\x16\x03\x01 hello\r\n\r\n") << QByteArray("400")
                              << QByteArray();
}

// Only GET of the page's own files; the stream only for the page's own origin; a head that
// does not end is cut off. The tap serves on after each.
void WebTest::requests()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, status);
    QFETCH(QByteArray, contains);
    TapWithPage tap;
    QVERIFY(tap.start());
    const QByteArray answer = ask(tap.web, request.replace("%PORT%", QByteArray::number(tap.web)));
    QVERIFY2(answer.startsWith("HTTP/1.1 " + status + ' '), answer.left(200).constData());
    QVERIFY2(answer.contains(contains), answer.left(600).constData());
    QVERIFY(ask(tap.web, "GET / HTTP/1.1\r\nHost: x\r\n\r\n").startsWith("HTTP/1.1 200 "));
}

// A browser on the page's own origin gets the reports as JSON, and a status every second.
void WebTest::browserGetsReports()
{
    TapWithPage tap;
    QVERIFY(tap.start({ "--rate", "100", "--tags", "2" }));
    QWebSocket browser(QStringLiteral("http://") + tap.host());
    QList<QJsonObject> messages;
    connect(&browser, &QWebSocket::textMessageReceived, this, [&](const QString &text) {
        messages << QJsonDocument::fromJson(text.toUtf8()).object();
    });
    browser.open(QUrl(QStringLiteral("ws://%1/live").arg(tap.host())));
    QVERIFY(tap.tap.waitFor(
        [&] {
            QSet<int> tags;
            bool status = false;
            for (const QJsonObject &m : messages) {
                status = status || m.contains("status");
                if (m.contains("seq"))
                    tags.insert(m.value("tag").toInt());
            }
            return status && tags == QSet<int> { 5, 6 };
        },
        PatienceMs));
    // Whatever the browser says is dropped: the kit never hears of it.
    browser.sendTextMessage(QStringLiteral("\x93\x83 set the anchors"));
    QTest::qWait(300);
    QVERIFY(tap.kit.lines().filter("config").isEmpty());
}

// A browser that stops reading is let go, while another browser and a viewer on the tap's TCP
// port go on getting everything.
void WebTest::stalledBrowserIsLetGo()
{
    TapWithPage tap;
    QVERIFY(tap.start({ "--rate", "1000", "--tags", "8" }));
    // A raw client with a tiny receive window does the handshake, then never reads again.
    const int stalled = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 2048;
    ::setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(tap.web);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(stalled, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    const QByteArray request = upgrade(tap.host(), "http://" + tap.host().toUtf8());
    QCOMPARE(::write(stalled, request.constData(), size_t(request.size())),
             ssize_t(request.size()));

    QWebSocket browser(QStringLiteral("http://") + tap.host());
    int received = 0;
    connect(&browser, &QWebSocket::textMessageReceived, this, [&] { ++received; });
    browser.open(QUrl(QStringLiteral("ws://%1/live").arg(tap.host())));
    QTcpSocket viewer;
    viewer.connectToHost(QHostAddress::LocalHost, tap.tap.port());
    QVERIFY(viewer.waitForConnected(PatienceMs));
    qint64 relayed = 0;
    connect(&viewer, &QTcpSocket::readyRead, this, [&] { relayed += viewer.readAll().size(); });

    QVERIFY(tap.tap.waitFor(
        [&] { return !tap.tap.errorLines().filter("stopped reading").isEmpty(); }, 3 * PatienceMs));
    const int browserBefore = received;
    const qint64 viewerBefore = relayed;
    QVERIFY(tap.tap.waitFor([&] { return received > browserBefore && relayed > viewerBefore; },
                            PatienceMs));
    ::close(stalled);
}

void WebTest::thirtyThirdBrowserIsRefused()
{
    TapWithPage tap;
    QVERIFY(tap.start());
    std::vector<std::unique_ptr<QWebSocket>> browsers;
    int open = 0;
    for (int i = 0; i < 32; ++i) {
        browsers.push_back(std::make_unique<QWebSocket>(QStringLiteral("http://") + tap.host()));
        connect(browsers.back().get(), &QWebSocket::connected, this, [&] { ++open; });
        browsers.back()->open(QUrl(QStringLiteral("ws://%1/live").arg(tap.host())));
    }
    QVERIFY(tap.tap.waitFor([&] { return open == 32; }, PatienceMs));
    const QByteArray answer = ask(tap.web, upgrade(tap.host(), "http://" + tap.host().toUtf8()));
    QVERIFY2(answer.startsWith("HTTP/1.1 503 ")
                 && answer.contains("32 browsers are watching already"),
             answer.constData());
    browsers.pop_back();
    QWebSocket another(QStringLiteral("http://") + tap.host());
    bool connected = false;
    connect(&another, &QWebSocket::connected, this, [&] { connected = true; });
    QTest::qWait(300);
    another.open(QUrl(QStringLiteral("ws://%1/live").arg(tap.host())));
    QTRY_VERIFY_WITH_TIMEOUT(connected, PatienceMs);
}

QTEST_GUILESS_MAIN(WebTest)
#include "tst_web.moc"
