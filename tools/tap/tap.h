#ifndef TAP_H
#define TAP_H

#include "analysis.h"
#include "capture.h"
#include "mqttpublisher.h"
#include "webserver.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QTextStream>
#include <QTimer>

class QIODevice;
class QTcpServer;
class QTcpSocket;

struct TapOptions
{
    QString kit; // a serial device, or HOST:PORT of the kit's network module
    QHostAddress listenHost = QHostAddress::LocalHost;
    quint16 listenPort = 8081;
    bool readOnly = false;
    QString record;
    QString csv;
    bool force = false;
    bool quiet = false;
    int maxResidual = 10;
    bool retry = true;
    bool mqtt = false;
    MqttSettings broker;
    double mqttRate = 0; // reports per second and tag; 0 publishes every one
    bool web = false;
    QHostAddress webHost = QHostAddress::LocalHost;
    quint16 webPort = 0;
};

// Sits between the kit and any number of viewers: relays both ways unchanged, records, exports
// and checks what passes, and keeps its viewers through a kit that goes away.
class Tap : public QObject
{
    Q_OBJECT

public:
    // Bytes a viewer may send the kit per second: a few commands' worth. More is a flood.
    static constexpr int ViewerBytesPerSecond = 4 * 33;
    // A viewer that stops reading is let go once this much waits for it.
    static constexpr qint64 MaxViewerBacklog = 4 * 1024 * 1024;

    Tap(const TapOptions &options, QTextStream &out, QTextStream &err);
    ~Tap() override;

    // Opens the files, the listening port and the kit; false, with one line in `error`, if any
    // of them cannot be had.
    bool start(QString *error);
    quint16 listenPort() const;
    // Flushes and closes the files.
    void finish();

signals:
    // The tap cannot go on; the program exits with `status`.
    void failed(int status);

private:
    struct Viewer
    {
        qint64 budget = ViewerBytesPerSecond;
    };

    bool openKit(QString *error);
    void kitConnected();
    void kitLost(const QString &reason);
    void retryKit();
    void readKit();
    void acceptViewers();
    void readViewer(QTcpSocket *viewer);
    void dropViewer(QTcpSocket *viewer);
    void everySecond();
    qint64 micros() const { return m_clock.nsecsElapsed() / 1000; }
    void note(const QString &line);
    void publishFrame(const StreamAnalysis::Frame &frame);
    void publishLatest();
    QByteArray webStatus(const StreamAnalysis::Totals &now) const;
    // What `tag` did since the last status line.
    StreamAnalysis::TagTotals thisSecond(int tag, const StreamAnalysis::TagTotals &now) const;

    TapOptions m_options;
    QTextStream &m_out;
    QTextStream &m_err;
    QElapsedTimer m_clock;
    QElapsedTimer m_attempt;
    QPointer<QIODevice> m_kit;
    bool m_kitUp = false;
    QTcpServer *m_server = nullptr;
    QHash<QTcpSocket *, Viewer> m_viewers;
    QTimer m_second;
    QTimer m_retry;
    capture::Writer m_capture;
    QFile m_csvFile;
    QTextStream m_csv;
    StreamAnalysis m_analysis;
    QDateTime m_startUtc;
    MqttPublisher *m_mqtt = nullptr;
    WebServer *m_web = nullptr;
    QHash<int, qint64> m_seq;
    // The anchors last published, as the frames reported them.
    bool m_anchorsPublished = false;
    std::array<int, StreamAnalysis::AnchorCount> m_anchorIds = {};
    std::array<std::array<int, 3>, StreamAnalysis::AnchorCount> m_anchorPlaces = {};
    // With --mqtt-rate: each tag's newest report, published once per interval.
    QMap<int, QByteArray> m_latest;
    QTimer m_mqttTick;
    qint64 m_lastPublished = 0;

    // This second's figures, for the status line.
    StreamAnalysis::Totals m_lastTotals;
    qint64 m_droppedReadOnly = 0;
    qint64 m_droppedFlood = 0;
    qint64 m_droppedNoKit = 0;
    // Per tag, this second.
    struct Fits
    {
        double worstRms = 0;
        double gdop = 0;
    };
    QMap<int, Fits> m_fits;
};

#endif // TAP_H
