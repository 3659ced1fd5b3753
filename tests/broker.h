#ifndef BROKER_H
#define BROKER_H

#include "toolprocess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

// A real mosquitto broker on a free loopback port, with a configuration the test writes. It
// can be killed and started again on the same port.
class Broker
{
public:
    Broker()
    {
        // Run as root, mosquitto gives up its rights, and must still read what is written here.
        QFile::setPermissions(
            m_dir.path(), QFile::permissions(m_dir.path()) | QFile::ReadOther | QFile::ExeOther);
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        m_port = probe.serverPort();
    }

    ~Broker() { stop(); }

    static QString program(const char *name)
    {
        return QStandardPaths::findExecutable(QLatin1String(name),
                                              { "/usr/sbin", "/usr/bin", "/usr/local/sbin" });
    }

    quint16 port() const { return m_port; }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString dir() const { return m_dir.path(); }

    // Writes a file the broker reads.
    QString write(const QString &name, const QByteArray &contents) const
    {
        QFile file(path(name));
        file.open(QIODevice::WriteOnly);
        file.write(contents);
        file.close();
        file.setPermissions(file.permissions() | QFile::ReadOther);
        return file.fileName();
    }

    // Starts the broker on its port with `extra` lines of configuration; true once it listens.
    bool start(const QByteArray &extra = "allow_anonymous true\n")
    {
        m_extra = extra;
        const QString config = write(QStringLiteral("mosquitto.conf"),
                                     QByteArray("listener ") + QByteArray::number(m_port)
                                         + " 127.0.0.1\npersistence false\n" + extra);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(program("mosquitto"), { "-c", config });
        if (!m_process.waitForStarted(PatienceMs))
            return false;
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < PatienceMs && m_process.state() == QProcess::Running) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            if (probe.waitForConnected(200))
                return true;
            QTest::qWait(50);
        }
        return false;
    }

    bool restart() { return start(m_extra); }

    // What the broker said, for a failure's message.
    QString log() { return QString::fromUtf8(m_process.readAll()); }

    // As a crash: no goodbye to the clients.
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(PatienceMs);
    }

    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(PatienceMs))
                kill();
        }
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    QByteArray m_extra;
};

// mosquitto_sub on every topic below `topic`, each message a line "TOPIC PAYLOAD".
class Subscriber
{
public:
    bool start(const Broker &broker, const QString &topic, const QStringList &extra = {})
    {
        m_process.start(Broker::program("mosquitto_sub"),
                        QStringList { "-h", "127.0.0.1", "-p", QString::number(broker.port()), "-t",
                                      topic, "-v", "-q", "1" }
                            + extra);
        return m_process.waitForStarted(PatienceMs);
    }

    ~Subscriber()
    {
        m_process.kill();
        m_process.waitForFinished(PatienceMs);
    }

    QList<QPair<QString, QByteArray>> messages()
    {
        m_buffer += m_process.readAllStandardOutput();
        int end;
        while ((end = m_buffer.indexOf('\n')) >= 0) {
            const QByteArray line = m_buffer.left(end);
            m_buffer.remove(0, end + 1);
            const int space = line.indexOf(' ');
            m_messages << qMakePair(QString::fromUtf8(line.left(space)), line.mid(space + 1));
        }
        return m_messages;
    }

    QList<QByteArray> payloads(const QString &topicEnd)
    {
        QList<QByteArray> found;
        for (const auto &message : messages()) {
            if (message.first.endsWith(topicEnd))
                found << message.second;
        }
        return found;
    }

    QProcess &process() { return m_process; }

private:
    QProcess m_process;
    QByteArray m_buffer;
    QList<QPair<QString, QByteArray>> m_messages;
};

#endif // BROKER_H
