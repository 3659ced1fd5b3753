#include "mqttpublisher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostInfo>
#include <QThread>
#include <QUrl>

#include <mosquitto.h>

namespace {

constexpr int KeepAliveSeconds = 30;
constexpr int FirstAnswerMs = 5000;
constexpr int GoodbyeMs = 2000;
constexpr unsigned RetryFirstSeconds = 1;
constexpr unsigned RetryMostSeconds = 30;
// Messages libmosquitto holds at once: enough to keep a local broker busy, few enough that
// what waits for a slow broker waits here, where it is bounded.
constexpr int Window = 1000;

} // namespace

bool parseMqttUrl(const QString &text, MqttSettings &settings, QString *error)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts"))
        || url.host().isEmpty() || !(url.path().isEmpty() || url.path() == QLatin1String("/"))
        || url.hasQuery() || url.hasFragment()) {
        *error = QStringLiteral("--mqtt takes mqtt://[USER[:PASSWORD]@]HOST[:PORT] or mqtts://..., "
                                "not '%1'")
                     .arg(text);
        return false;
    }
    settings.tls = scheme == QLatin1String("mqtts");
    settings.host = url.host();
    settings.port = quint16(url.port(settings.tls ? 8883 : 1883));
    settings.user = url.userName();
    settings.password = url.password();
    return true;
}

MqttPublisher::MqttPublisher(const MqttSettings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_status("offline")
{
    static const int initialised = mosquitto_lib_init();
    Q_UNUSED(initialised)
}

MqttPublisher::~MqttPublisher()
{
    if (m_mosq) {
        if (m_running)
            mosquitto_loop_stop(m_mosq, true);
        mosquitto_destroy(m_mosq);
    }
}

bool MqttPublisher::start(QString *error)
{
    const QByteArray id = QStringLiteral("zorvan-tap-%1-%2")
                              .arg(QHostInfo::localHostName())
                              .arg(QCoreApplication::applicationPid())
                              .toUtf8();
    m_mosq = mosquitto_new(id.constData(), true, this);
    if (!m_mosq) {
        *error = QStringLiteral("cannot make an MQTT client");
        return false;
    }
    if (!m_settings.user.isEmpty())
        mosquitto_username_pw_set(
            m_mosq, m_settings.user.toUtf8().constData(),
            m_settings.password.isNull() ? nullptr : m_settings.password.toUtf8().constData());
    const QByteArray will = (m_settings.prefix + QStringLiteral("/status")).toUtf8();
    mosquitto_will_set(m_mosq, will.constData(), 7, "offline", 1, true);
    if (m_settings.tls) {
        // The broker's certificate and its host name are verified; there is no way around it.
        const QByteArray ca = m_settings.caFile.toLocal8Bit();
        const int rc = mosquitto_tls_set(m_mosq, ca.isEmpty() ? nullptr : ca.constData(),
                                         ca.isEmpty() ? "/etc/ssl/certs" : nullptr, nullptr,
                                         nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = QStringLiteral("cannot use the CA file %1: %2")
                         .arg(m_settings.caFile, QString::fromUtf8(mosquitto_strerror(rc)));
            return false;
        }
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_reconnect_delay_set(m_mosq, RetryFirstSeconds, RetryMostSeconds, true);
    mosquitto_connect_callback_set(m_mosq, &MqttPublisher::onConnect);
    mosquitto_disconnect_callback_set(m_mosq, &MqttPublisher::onDisconnect);
    mosquitto_publish_callback_set(m_mosq, &MqttPublisher::onPublish);

    const QByteArray host = m_settings.host.toUtf8();
    const QString where = QStringLiteral("%1:%2").arg(m_settings.host).arg(m_settings.port);
    int rc = mosquitto_connect(m_mosq, host.constData(), m_settings.port, KeepAliveSeconds);
    if (rc == MOSQ_ERR_SUCCESS) {
        // The TLS handshake and the broker's answer follow; a refusal of either is final.
        QElapsedTimer waited;
        waited.start();
        m_refusal.clear();
        while (!m_connected && m_refusal.isEmpty() && waited.elapsed() < FirstAnswerMs
               && rc == MOSQ_ERR_SUCCESS)
            rc = mosquitto_loop(m_mosq, 100, 1);
        if (!m_connected && !m_refusal.isEmpty()) {
            *error = QStringLiteral("the MQTT broker at %1 refused the connection: %2")
                         .arg(where, m_refusal);
            return false;
        }
    }
    if (rc == MOSQ_ERR_TLS) {
        *error = QStringLiteral("the MQTT broker at %1 did not prove who it is: its certificate "
                                "does not verify against %2 for that host name")
                     .arg(where,
                          m_settings.caFile.isEmpty() ? QStringLiteral("the system's CAs")
                                                      : m_settings.caFile);
        return false;
    }
    if (!m_connected) {
        m_refusal = rc == MOSQ_ERR_SUCCESS ? QStringLiteral("no answer")
                                           : QString::fromUtf8(mosquitto_strerror(rc));
        mosquitto_connect_async(m_mosq, host.constData(), m_settings.port, KeepAliveSeconds);
    }
    m_running = mosquitto_loop_start(m_mosq) == MOSQ_ERR_SUCCESS;
    if (!m_running) {
        *error = QStringLiteral("cannot start the MQTT client's thread");
        return false;
    }
    return true;
}

void MqttPublisher::stop(const QByteArray &status)
{
    if (!m_mosq || !m_running)
        return;
    if (m_connected) {
        const QByteArray topic = (m_settings.prefix + QStringLiteral("/status")).toUtf8();
        ++m_inFlight;
        if (mosquitto_publish(m_mosq, nullptr, topic.constData(), int(status.size()),
                              status.constData(), 1, true)
            != MOSQ_ERR_SUCCESS)
            --m_inFlight;
        QElapsedTimer waited;
        waited.start();
        while (m_inFlight > 0 && m_connected && waited.elapsed() < GoodbyeMs) {
            QThread::msleep(5);
            QCoreApplication::sendPostedEvents(this);
        }
    }
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, false);
    m_running = false;
    m_connected = false;
}

void MqttPublisher::setStatus(const QByteArray &status)
{
    if (status == m_status)
        return;
    m_status = status;
    // Before the start the status goes out with the connection.
    if (m_mosq)
        publish(QStringLiteral("status"), status, true);
}

void MqttPublisher::publish(const QString &topic, const QByteArray &payload, bool retain)
{
    m_waiting.push_back(
        { (m_settings.prefix + QLatin1Char('/') + topic).toUtf8(), payload, retain });
    if (m_waiting.size() > size_t(MaxWaiting)) {
        m_waiting.pop_front();
        ++m_dropped;
    }
    m_hasWaiting = true;
    drain();
}

QString MqttPublisher::state() const
{
    if (m_connected)
        return QStringLiteral("mqtt connected");
    return m_refusal.isEmpty() ? QStringLiteral("mqtt reconnecting")
                               : QStringLiteral("mqtt reconnecting (%1)").arg(m_refusal);
}

void MqttPublisher::drain()
{
    m_drainPosted = false;
    m_hasWaiting = !m_waiting.empty();
    while (m_connected && m_inFlight < Window && !m_waiting.empty()) {
        const Message &m = m_waiting.front();
        ++m_inFlight;
        const int rc
            = mosquitto_publish(m_mosq, nullptr, m.topic.constData(), int(m.payload.size()),
                                m.payload.constData(), m_settings.qos, m.retain);
        if (rc == MOSQ_ERR_NO_CONN) {
            --m_inFlight;
            return;
        }
        if (rc == MOSQ_ERR_SUCCESS)
            ++m_published;
        else {
            --m_inFlight;
            ++m_dropped;
        }
        m_waiting.pop_front();
    }
    m_hasWaiting = !m_waiting.empty();
}

// libmosquitto calls these on its own thread, or on this one while start() waits; what they
// change is handed over to this object's thread.
void MqttPublisher::onConnect(mosquitto *, void *self, int rc)
{
    auto *publisher = static_cast<MqttPublisher *>(self);
    if (!publisher->m_running) {
        publisher->connected(rc);
        return;
    }
    QMetaObject::invokeMethod(
        publisher, [publisher, rc] { publisher->connected(rc); }, Qt::QueuedConnection);
}

void MqttPublisher::onDisconnect(mosquitto *, void *self, int)
{
    auto *publisher = static_cast<MqttPublisher *>(self);
    QMetaObject::invokeMethod(
        publisher, [publisher] { publisher->disconnected(); }, Qt::QueuedConnection);
}

void MqttPublisher::onPublish(mosquitto *, void *self, int)
{
    auto *publisher = static_cast<MqttPublisher *>(self);
    if (--publisher->m_inFlight < 0)
        publisher->m_inFlight = 0;
    // Only messages that wait need this thread woken.
    if (publisher->m_hasWaiting && !publisher->m_drainPosted.exchange(true))
        QMetaObject::invokeMethod(
            publisher, [publisher] { publisher->drain(); }, Qt::QueuedConnection);
}

void MqttPublisher::connected(int rc)
{
    if (rc != 0) {
        m_connected = false;
        m_refusal = QString::fromUtf8(mosquitto_connack_string(rc));
        return;
    }
    m_connected = true;
    m_refusal.clear();
    // What was in flight when the connection dropped is gone or sent again by libmosquitto.
    m_inFlight = 0;
    m_waiting.push_front(
        { (m_settings.prefix + QStringLiteral("/status")).toUtf8(), m_status, true });
    drain();
}

void MqttPublisher::disconnected()
{
    m_connected = false;
}
