#ifndef MQTTPUBLISHER_H
#define MQTTPUBLISHER_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <deque>

struct mosquitto;

struct MqttSettings
{
    QString host;
    quint16 port = 1883;
    bool tls = false;
    QString user;
    QString password;
    QString caFile; // for TLS; the system's CAs when empty
    QString prefix; // topics go below it
    int qos = 0;
};

// mqtt://[USER[:PASSWORD]@]HOST[:PORT] or mqtts://...; false, with `error`, if `text` is not.
bool parseMqttUrl(const QString &text, MqttSettings &settings, QString *error);

// Publishes to an MQTT broker through libmosquitto, whose own thread holds the connection and
// reconnects with backoff. Messages are handed over from this object's thread, at most a
// window of them at once; the rest wait here, bounded, and the oldest go first when the
// broker is away for long.
class MqttPublisher : public QObject
{
    Q_OBJECT

public:
    // Messages that may wait for the broker; past this the oldest are dropped and counted.
    static constexpr int MaxWaiting = 10000;

    explicit MqttPublisher(const MqttSettings &settings, QObject *parent = nullptr);
    ~MqttPublisher() override;

    // Connects and waits for the broker's answer. False, with `error`, when it refuses the
    // credentials or its certificate does not verify: that is final. A broker that cannot be
    // reached is retried in the background.
    bool start(QString *error);
    // Publishes `status` retained, says goodbye to the broker and stops.
    void stop(const QByteArray &status);

    // `topic` goes below the prefix.
    void publish(const QString &topic, const QByteArray &payload, bool retain);
    // The broker's last will, and what the status topic says now; it is said again on every
    // reconnection.
    void setStatus(const QByteArray &status);

    bool isConnected() const { return m_connected; }
    QString state() const;
    qint64 published() const { return m_published; }
    qint64 dropped() const { return m_dropped; }
    int waiting() const { return int(m_waiting.size()); }

private:
    struct Message
    {
        QByteArray topic;
        QByteArray payload;
        bool retain = false;
    };

    static void onConnect(mosquitto *, void *self, int rc);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid);
    void connected(int rc);
    void disconnected();
    void drain();

    MqttSettings m_settings;
    mosquitto *m_mosq = nullptr;
    bool m_running = false;
    bool m_connected = false;
    QString m_refusal;
    QByteArray m_status;
    std::deque<Message> m_waiting;
    // Handed to libmosquitto and not yet written (QoS 0) or acknowledged (QoS 1).
    std::atomic<int> m_inFlight { 0 };
    std::atomic<bool> m_drainPosted { false };
    std::atomic<bool> m_hasWaiting { false };
    qint64 m_published = 0;
    qint64 m_dropped = 0;
};

#endif // MQTTPUBLISHER_H
