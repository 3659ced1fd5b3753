#ifndef KITSIMULATOR_H
#define KITSIMULATOR_H

#include "kitprotocol.h"
#include "ptyendpoint.h"
#include "replay.h"
#include "tagpath.h"
#include "tcpendpoint.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QRandomGenerator>
#include <QTimer>

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
    // Where the anchors physically stand; the kit measures its ranges to these.
    std::array<kit::Anchor, 4> layout
        = { kit::Anchor { 0, 0, 0, 250 }, kit::Anchor { 1, 500, 0, 250 },
            kit::Anchor { 2, 500, 400, 250 }, kit::Anchor { 3, 0, 400, 250 } };
    int misplaced = -1; // the anchor whose configured place is off where it stands
    std::array<int, 3> misplacement = {}; // cm
    int biased = -1; // the anchor whose ranges all read long or short, as a wrong antenna delay
    int biasCm = 0;
    kit::Path path = kit::Path::Eight;
    int tagHeight = 120; // cm
    int tags = 1;
};

// A simulated kit: four anchors and one or more tags moving about, reported over TCP and
// optionally a pseudo-terminal, configured by the viewer's anchor command. As a real kit, it
// measures ranges to where the anchors stand and solves the tag's position from the
// coordinates it was told, which the command changes. Frames are sent only while a
// viewer is attached, so a run with --count delivers exactly that many.
class KitSimulator : public QObject
{
    Q_OBJECT

public:
    KitSimulator(const KitOptions &options, QTextStream &out);

    bool start(QString *error);
    quint16 serverPort() const { return m_tcp.port(); }

signals:
    void finished();

private:
    void tick();
    void sendFrame();
    void deliver(const QByteArray &bytes, qint64 frames);
    void finishSending();
    void finishWhenDrained();
    kit::Scene sceneAt(qint64 index);
    QList<QByteArray> pieces(const QByteArray &bytes);
    QByteArray junk();
    bool anyoneAttached() const;
    bool hasBacklog() const;
    void say(const QString &line);

    KitOptions m_options;
    QTextStream &m_out;
    QRandomGenerator m_random;
    TcpEndpoint m_tcp;
    PtyEndpoint m_pty;
    Replay m_replay;
    bool m_replaying = false;
    QTimer m_clock;
    QElapsedTimer m_since;
    qint64 m_sentSinceAttach = 0;
    qint64 m_sent = 0;
    qint64 m_sentThisPlug = 0;
    qint64 m_sentThisSession = 0;
    bool m_finishing = false;
    QElapsedTimer m_quiet;
    kit::Command m_config;
};

#endif // KITSIMULATOR_H
