#include "tap.h"

#include "link/hostport.h"
#include "link/kitport.h"
#include "reportjson.h"
#include "toolsupport.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPort>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

#include <cmath>

namespace {

constexpr int RetryMs = 1000;
constexpr int ConnectTimeoutMs = 3000;

// HOST:PORT, or nothing when `text` names a device.
bool splitHostPort(const QString &text, QString &host, quint16 &port)
{
    return !text.startsWith(QLatin1Char('/')) && parseHostPort(text, host, port) && port != 0;
}

} // namespace

Tap::Tap(const TapOptions &options, QTextStream &out, QTextStream &err)
    : m_options(options)
    , m_out(out)
    , m_err(err)
    , m_analysis(options.maxResidual)
{
    m_clock.start();
    m_startUtc = QDateTime::currentDateTimeUtc();
    m_analysis.onFrame = [this](const StreamAnalysis::Frame &frame) {
        if (m_mqtt || m_web)
            publishFrame(frame);
        Fits &fits = m_fits[frame.tagId];
        fits.worstRms = qMax(fits.worstRms, frame.rms);
        fits.gdop = frame.gdop;
        if (m_csvFile.isOpen())
            m_csv << StreamAnalysis::csvRow(frame) << '\n';
    };
    m_analysis.onCommand = [this](qint64 micros, const AnchorConfigCommand::Decoded &command) {
        note(QStringLiteral("command relayed: %1").arg(AnchorConfigCommand::describe(command)));
        if (m_mqtt)
            m_mqtt->publish(QStringLiteral("command"),
                            reportjson::command(command, m_startUtc.addMSecs(micros / 1000)),
                            false);
    };
    m_second.setInterval(1000);
    connect(&m_second, &QTimer::timeout, this, &Tap::everySecond);
    m_retry.setInterval(RetryMs);
    connect(&m_retry, &QTimer::timeout, this, &Tap::retryKit);
    if (options.mqttRate > 0) {
        m_mqttTick.setInterval(qMax(1, int(std::lround(1000 / options.mqttRate))));
        connect(&m_mqttTick, &QTimer::timeout, this, &Tap::publishLatest);
    }
}

Tap::~Tap()
{
    finish();
}

bool Tap::start(QString *error)
{
    if (!m_options.record.isEmpty()
        && !m_capture.open(m_options.record, m_options.force,
                           QDateTime::currentMSecsSinceEpoch() * 1000, error))
        return false;
    if (!m_options.csv.isEmpty()) {
        if (!tools::createFile(m_csvFile, m_options.csv, m_options.force, error))
            return false;
        m_csv.setDevice(&m_csvFile);
        m_csv << StreamAnalysis::csvHeader() << '\n';
    }

    m_server = new QTcpServer(this);
    if (!tools::listen(*m_server, m_options.listenHost, m_options.listenPort, error))
        return false;
    connect(m_server, &QTcpServer::newConnection, this, &Tap::acceptViewers);
    if (!openKit(error))
        return false;
    if (m_options.web) {
        m_web = new WebServer(this);
        connect(m_web, &WebServer::said, this, &Tap::note);
        if (!m_web->listen(m_options.webHost, m_options.webPort, error))
            return false;
        if (!m_options.webHost.isLoopback())
            note(QStringLiteral("warning: serving the web page on %1:%2, beyond this machine. "
                                "Anyone who can reach it can watch the tags; nothing there "
                                "reaches the kit.")
                     .arg(m_options.webHost.toString())
                     .arg(m_web->port()));
        m_out << "web: http://"
              << (m_options.webHost == QHostAddress::AnyIPv4 ? QStringLiteral("127.0.0.1")
                                                             : m_options.webHost.toString())
              << ':' << m_web->port() << '/' << Qt::endl;
    }
    if (m_options.mqtt) {
        m_mqtt = new MqttPublisher(m_options.broker, this);
        m_mqtt->setStatus(m_kitUp ? "online" : "kit-lost");
        if (!m_mqtt->start(error)) {
            delete m_mqtt;
            m_mqtt = nullptr;
            return false;
        }
        if (!m_mqtt->isConnected())
            note(QStringLiteral("the MQTT broker at %1:%2 does not answer (%3); trying again, "
                                "and relaying meanwhile")
                     .arg(m_options.broker.host)
                     .arg(m_options.broker.port)
                     .arg(m_mqtt->state()));
        if (m_options.mqttRate > 0)
            m_mqttTick.start();
    }

    if (!m_options.listenHost.isLoopback())
        note(QStringLiteral("warning: listening on %1:%2, beyond this machine. Anyone who can "
                            "reach it can reconfigure the kit; --read-only prevents that.")
                 .arg(m_options.listenHost.toString())
                 .arg(listenPort()));
    m_out << "listening: " << m_options.listenHost.toString() << ':' << listenPort() << Qt::endl;
    m_second.start();
    return true;
}

quint16 Tap::listenPort() const
{
    return m_server ? m_server->serverPort() : 0;
}

bool Tap::openKit(QString *error)
{
    QString host;
    quint16 port = 0;
    if (splitHostPort(m_options.kit, host, port)) {
        auto *socket = new QTcpSocket(this);
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket->setReadBufferSize(0);
        connect(socket, &QTcpSocket::readyRead, this, &Tap::readKit);
        socket->connectToHost(host, port);
        // At start the kit must answer; later it is waited for.
        if (error && !socket->waitForConnected(ConnectTimeoutMs)) {
            *error = QStringLiteral("cannot reach the kit at %1: %2")
                         .arg(m_options.kit, socket->errorString());
            delete socket;
            return false;
        }
        connect(socket, &QTcpSocket::connected, this, &Tap::kitConnected);
        connect(socket, &QTcpSocket::disconnected, this,
                [this] { kitLost(QStringLiteral("the kit closed the connection")); });
        connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] {
            if (socket->state() != QAbstractSocket::ConnectedState)
                kitLost(socket->errorString());
        });
        m_kit = socket;
        if (socket->state() == QAbstractSocket::ConnectedState)
            kitConnected();
        return true;
    }

    auto *serial = new QSerialPort(this);
    serial->setPortName(m_options.kit);
    if (!serial->open(QIODevice::ReadWrite)) {
        if (error)
            *error = QStringLiteral("cannot open %1: %2").arg(m_options.kit, serial->errorString());
        delete serial;
        return false;
    }
    applyKitPortSettings(*serial);
    connect(serial, &QSerialPort::readyRead, this, &Tap::readKit);
    connect(serial, &QSerialPort::errorOccurred, this,
            [this, serial](QSerialPort::SerialPortError e) {
                if (e == QSerialPort::ResourceError || e == QSerialPort::ReadError)
                    kitLost(serial->errorString());
            });
    m_kit = serial;
    kitConnected();
    return true;
}

void Tap::kitConnected()
{
    const bool wasLost = m_retry.isActive();
    m_retry.stop();
    m_kitUp = true;
    if (m_mqtt)
        m_mqtt->setStatus("online");
    if (wasLost) {
        note(QStringLiteral("kit link back: %1").arg(m_options.kit));
        if (m_capture.isOpen())
            m_capture.write(micros(), capture::Direction::KitBack, QByteArray());
    }
}

void Tap::kitLost(const QString &reason)
{
    if (!m_kitUp && m_retry.isActive())
        return;
    m_kitUp = false;
    if (m_mqtt)
        m_mqtt->setStatus("kit-lost");
    if (m_kit) {
        m_kit->disconnect(this);
        m_kit->close();
        m_kit->deleteLater();
    }
    if (m_capture.isOpen())
        m_capture.write(micros(), capture::Direction::KitLost, reason.toUtf8());
    if (!m_options.retry) {
        note(QStringLiteral("kit link lost: %1").arg(reason));
        finish();
        emit failed(1);
        return;
    }
    note(QStringLiteral("kit link lost: %1; trying again every second").arg(reason));
    m_retry.start();
}

void Tap::retryKit()
{
    if (m_kitUp)
        return;
    // A connection attempt under way is given a few seconds: a module that vanished from the
    // network would otherwise hold the retry for the system's two-minute timeout.
    if (m_kit && m_kit->isOpen() && m_attempt.isValid() && m_attempt.elapsed() < ConnectTimeoutMs)
        return;
    if (m_kit) {
        m_kit->disconnect(this);
        m_kit->close();
        m_kit->deleteLater();
    }
    m_attempt.start();
    openKit(nullptr);
}

void Tap::readKit()
{
    if (!m_kit)
        return;
    const QByteArray bytes = m_kit->readAll();
    if (bytes.isEmpty())
        return;
    const qint64 now = micros();
    for (auto it = m_viewers.begin(); it != m_viewers.end();) {
        QTcpSocket *viewer = it.key();
        ++it;
        viewer->write(bytes);
        if (viewer->bytesToWrite() > MaxViewerBacklog) {
            note(QStringLiteral("viewer %1:%2 stopped reading; let go")
                     .arg(viewer->peerAddress().toString())
                     .arg(viewer->peerPort()));
            dropViewer(viewer);
        }
    }
    if (m_capture.isOpen())
        m_capture.write(now, capture::Direction::FromKit, bytes);
    m_analysis.fromKit(now, bytes);
}

void Tap::acceptViewers()
{
    while (QTcpSocket *viewer = m_server->nextPendingConnection()) {
        viewer->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_viewers.insert(viewer, Viewer());
        connect(viewer, &QTcpSocket::readyRead, this, [this, viewer] { readViewer(viewer); });
        connect(viewer, &QTcpSocket::disconnected, this, [this, viewer] { dropViewer(viewer); });
    }
}

void Tap::dropViewer(QTcpSocket *viewer)
{
    if (!m_viewers.remove(viewer))
        return;
    viewer->disconnect(this);
    viewer->abort();
    viewer->deleteLater();
}

void Tap::readViewer(QTcpSocket *viewer)
{
    QByteArray bytes = viewer->readAll();
    auto it = m_viewers.find(viewer);
    if (bytes.isEmpty() || it == m_viewers.end())
        return;
    if (m_options.readOnly) {
        m_droppedReadOnly += bytes.size();
        return;
    }
    const qint64 allowed = qMin<qint64>(bytes.size(), it->budget);
    m_droppedFlood += bytes.size() - allowed;
    it->budget -= allowed;
    bytes.truncate(int(allowed));
    if (bytes.isEmpty())
        return;
    if (!m_kitUp || !m_kit) {
        m_droppedNoKit += bytes.size();
        return;
    }
    m_kit->write(bytes);
    const qint64 now = micros();
    if (m_capture.isOpen())
        m_capture.write(now, capture::Direction::ToKit, bytes);
    m_analysis.toKit(now, bytes);
}

void Tap::everySecond()
{
    m_capture.sync();
    if (m_csvFile.isOpen()) {
        m_csv.flush();
        m_csvFile.flush();
    }
    for (Viewer &viewer : m_viewers)
        viewer.budget = ViewerBytesPerSecond;

    const StreamAnalysis::Totals &now = m_analysis.totals();
    if (m_web)
        m_web->status(webStatus(now));
    if (!m_options.quiet) {
        QStringList parts;
        parts << QStringLiteral("%1 frames/s").arg(now.frames - m_lastTotals.frames)
              << QStringLiteral("%1 bytes").arg(now.bytes - m_lastTotals.bytes)
              << QStringLiteral("%1 junk").arg(now.junk - m_lastTotals.junk)
              << QStringLiteral("%1 viewer%2")
                     .arg(m_viewers.size())
                     .arg(m_viewers.size() == 1 ? QString() : QStringLiteral("s"))
              << QStringLiteral("%1 command%2 relayed")
                     .arg(now.commands - m_lastTotals.commands)
                     .arg(now.commands - m_lastTotals.commands == 1 ? QString()
                                                                    : QStringLiteral("s"));
        for (auto it = now.tags.cbegin(); it != now.tags.cend(); ++it) {
            const StreamAnalysis::TagTotals second = thisSecond(it.key(), *it);
            if (second.frames == 0)
                continue;
            const Fits fits = m_fits.value(it.key());
            parts << QStringLiteral("tag %1: fit rms up to %2 cm, gdop %3, %4")
                         .arg(it.key())
                         .arg(fits.worstRms, 0, 'f', 1)
                         .arg(fits.gdop, 0, 'f', 1)
                         .arg(layoutVerdict(second));
        }
        if (m_droppedReadOnly > 0)
            parts << QStringLiteral("%1 viewer bytes dropped (read-only)").arg(m_droppedReadOnly);
        if (m_droppedFlood > 0)
            parts << QStringLiteral("%1 viewer bytes dropped (flood)").arg(m_droppedFlood);
        if (m_droppedNoKit > 0)
            parts << QStringLiteral("%1 viewer bytes dropped (no kit)").arg(m_droppedNoKit);
        if (!m_kitUp)
            parts << QStringLiteral("kit link down");
        if (m_mqtt) {
            parts << QStringLiteral("%1, %2 published")
                         .arg(m_mqtt->state())
                         .arg(m_mqtt->published() - m_lastPublished);
            if (m_mqtt->dropped() > 0)
                parts << QStringLiteral("%1 mqtt messages dropped").arg(m_mqtt->dropped());
        }
        note(parts.join(QStringLiteral(", ")));
    }
    m_lastTotals = now;
    if (m_mqtt)
        m_lastPublished = m_mqtt->published();
    m_droppedReadOnly = m_droppedFlood = m_droppedNoKit = 0;
    m_fits.clear();
}

void Tap::finish()
{
    if (m_mqtt) {
        m_mqtt->stop("offline");
        note(QStringLiteral("mqtt: %1 messages published, %2 dropped")
                 .arg(m_mqtt->published())
                 .arg(m_mqtt->dropped()));
        delete m_mqtt;
        m_mqtt = nullptr;
    }
    if (m_csvFile.isOpen()) {
        m_csv.flush();
        m_csvFile.close();
    }
    if (m_capture.isOpen())
        m_capture.close();
}

void Tap::publishFrame(const StreamAnalysis::Frame &frame)
{
    const qint64 seq = ++m_seq[frame.tagId];
    const QByteArray json
        = reportjson::position(frame, seq, m_startUtc.addMSecs(frame.micros / 1000));
    if (m_web)
        m_web->report(frame.tagId, json);
    if (!m_mqtt)
        return;
    // The anchors change only with a command; their JSON is made only then.
    if (!m_anchorsPublished || frame.anchorId != m_anchorIds || frame.anchor != m_anchorPlaces) {
        m_anchorsPublished = true;
        m_anchorIds = frame.anchorId;
        m_anchorPlaces = frame.anchor;
        m_mqtt->publish(QStringLiteral("anchors"), reportjson::anchors(frame), true);
    }
    if (m_options.mqttRate > 0)
        m_latest.insert(frame.tagId, json);
    else
        m_mqtt->publish(QStringLiteral("tag/%1/position").arg(frame.tagId), json, true);
}

StreamAnalysis::TagTotals Tap::thisSecond(int tag, const StreamAnalysis::TagTotals &now) const
{
    const StreamAnalysis::TagTotals before = m_lastTotals.tags.value(tag);
    return { now.frames - before.frames, now.inconsistent - before.inconsistent };
}

QByteArray Tap::webStatus(const StreamAnalysis::Totals &now) const
{
    QJsonObject tags;
    for (auto it = now.tags.cbegin(); it != now.tags.cend(); ++it) {
        const StreamAnalysis::TagTotals second = thisSecond(it.key(), *it);
        if (second.frames > 0)
            tags.insert(QString::number(it.key()),
                        QJsonObject { { "layout", layoutVerdict(second) } });
    }
    const QJsonObject status { { "fps", now.frames - m_lastTotals.frames },
                               { "kit", m_kitUp },
                               { "tags", tags } };
    return QJsonDocument(QJsonObject { { "status", status } }).toJson(QJsonDocument::Compact);
}

void Tap::publishLatest()
{
    for (auto it = m_latest.cbegin(); it != m_latest.cend(); ++it)
        m_mqtt->publish(QStringLiteral("tag/%1/position").arg(it.key()), it.value(), true);
    m_latest.clear();
}

void Tap::note(const QString &line)
{
    m_err << "tap: " << line << Qt::endl;
}
