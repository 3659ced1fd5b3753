#ifndef KITSIMULATOR_H
#define KITSIMULATOR_H

#include "kitprotocol.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QRandomGenerator>
#include <QTimer>

class QSocketNotifier;
class QTcpServer;
class QTcpSocket;
class QTextStream;

struct KitOptions
{
    QHostAddress host = QHostAddress::LocalHost;
    quint16 port = 8080;
    bool serial = false;
    double rate = 10; // frames per second; 0 sends as fast as the links take them
    qint64 count = -1;
    quint32 seed = 1;
    int noiseCm = 0;
    bool chop = false;
    double garbage = 0;
    bool printFrames = false;
    qint64 hangupAfter = 0; // frames per plug of the pseudo-terminal; 0 never hangs up
    qint64 dropAfter = 0; // frames per TCP session; 0 never drops the clients
    QString replay; // a capture whose bytes from the kit are played instead of the loop
    double speed = 1; // of the replay; 0 plays as fast as the links take it
    bool loop = false;
    int misplaced = -1; // the anchor reported off its true place, ranges kept true
    int misplaceDx = 0, misplaceDy = 0; // cm
};

// A simulated kit: four anchors and a tag moving on a loop, reported over TCP and optionally a
// pseudo-terminal, configured by the viewer's anchor command. Frames are sent only while a
// viewer is attached, so a run with --count delivers exactly that many.
class KitSimulator : public QObject
{
    Q_OBJECT

public:
    KitSimulator(const KitOptions &options, QTextStream &out);
    ~KitSimulator() override;

    bool start(QString *error);
    quint16 serverPort() const;
    QString serialPath() const { return m_serialPath; }
    qint64 framesSent() const { return m_sent; }

signals:
    void finished();

private:
    void tick();
    void replayTick();
    bool loadReplay(QString *error);
    void sendFrame();
    void deliver(const QByteArray &bytes, qint64 frames);
    void finishSending();
    kit::Scene sceneAt(qint64 index);
    QList<QByteArray> pieces(const QByteArray &bytes);
    QByteArray junk();
    bool anyoneAttached();
    bool serialReady() const;
    bool hasBacklog() const;

    void acceptClients();
    void readClient(QTcpSocket *socket);
    bool openSerial(QString *error);
    void closeSerial();
    void hangUpSerial();
    void readSerialOpens();
    void setSerialAttached(bool attached);
    void dropClients();
    void readSerial();
    void writeSerial(const QByteArray &bytes);
    void flushSerial();
    void takeCommandBytes(kit::CommandReader &reader, const QByteArray &bytes, const QString &link);
    void finishWhenDrained();
    bool serialDrained() const;
    void say(const QString &line);

    KitOptions m_options;
    QTextStream &m_out;
    QRandomGenerator m_random;
    QTcpServer *m_server = nullptr;
    QHash<QTcpSocket *, kit::CommandReader> m_clients;
    int m_master = -1;
    // The kit's own slave end: it keeps the terminal alive between viewers and tells how much
    // of the output is still unread, without opening the terminal again.
    int m_slave = -1;
    int m_openWatch = -1;
    int m_openers = 0;
    bool m_serialAttached = false;
    QElapsedTimer m_serialSettled;
    QString m_serialPath;
    QSocketNotifier *m_serialRead = nullptr;
    QSocketNotifier *m_serialWrite = nullptr;
    QSocketNotifier *m_serialOpens = nullptr;
    QByteArray m_serialOut;
    kit::CommandReader m_serialCommands;
    QTimer m_clock;
    QTimer m_replug;
    QElapsedTimer m_since;
    qint64 m_sentSinceAttach = 0;
    qint64 m_sent = 0;
    qint64 m_sentThisPlug = 0;
    qint64 m_sentThisSession = 0;
    bool m_finishing = false;
    QElapsedTimer m_quiet;
    kit::Command m_config;

    struct Chunk
    {
        qint64 micros = 0;
        QByteArray bytes;
        qint64 frames = 0;
    };
    QList<Chunk> m_chunks;
    int m_nextChunk = 0;
    bool m_replaying = false; // timing runs from m_replayBase since m_since started
    qint64 m_replayBase = 0;
};

#endif // KITSIMULATOR_H
