#include "broker.h"
#include "toolprocess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>

namespace {

// What a frame the kit printed says, in the MQTT payload's terms: tag, position and ranges in
// whole cm.
QString frameText(const QByteArray &frame)
{
    const auto u8 = [&](int i) { return int(uchar(frame.at(i))); };
    const auto s16 = [&](int i) { return int(qint16(u8(i) << 8 | u8(i + 1))); };
    QStringList parts { QString::number(u8(2)), QString::number(s16(3)), QString::number(s16(5)),
                        QString::number(s16(7)) };
    for (int k = 0; k < 4; ++k)
        parts << QString::number(u8(10 + 3 * k) << 8 | u8(11 + 3 * k));
    return parts.join(QLatin1Char(' '));
}

QString payloadText(const QJsonObject &o)
{
    const auto cm = [](const QJsonValue &v) { return QString::number(qRound(v.toDouble() * 100)); };
    QStringList parts { QString::number(o.value("tag").toInt()), cm(o.value("x")), cm(o.value("y")),
                        cm(o.value("z")) };
    for (const QJsonValue &a : o.value("anchors").toArray())
        parts << cm(a.toObject().value("range"));
    return parts.join(QLatin1Char(' '));
}

void stop(ToolProcess &tool)
{
    ::kill(pid_t(tool.process().processId()), SIGTERM);
}

// The retained messages below `topic`, as a consumer that starts late gets them.
QMap<QString, QByteArray> retained(const Broker &broker, const QString &topic,
                                   const QStringList &extra = {})
{
    Subscriber late;
    late.start(broker, topic, QStringList { "--retained-only", "-W", "2" } + extra);
    late.process().waitForFinished(PatienceMs);
    QMap<QString, QByteArray> found;
    for (const auto &message : late.messages())
        found.insert(message.first, message.second);
    return found;
}

} // namespace

class MqttTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyReportOnceAndExact();
    void brokerRestarts();
    void credentialsAndCertificates_data();
    void credentialsAndCertificates();

private:
    QTemporaryDir m_certificates;
};

void MqttTest::initTestCase()
{
    QVERIFY2(!Broker::program("mosquitto").isEmpty(), "mosquitto is not installed");
    // A CA of the test's own, a certificate it signed for this machine and one for another host.
    QFile::setPermissions(m_certificates.path(),
                          QFile::permissions(m_certificates.path()) | QFile::ReadOther
                              | QFile::ExeOther);
    const auto openssl = [&](const QStringList &arguments) {
        QProcess process;
        process.setWorkingDirectory(m_certificates.path());
        process.start(QStringLiteral("openssl"), arguments);
        return process.waitForFinished(PatienceMs) && process.exitCode() == 0;
    };
    QVERIFY(openssl({ "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out",
                      "ca.crt", "-days", "2", "-subj", "/CN=Zorvan test CA" }));
    for (const auto &[name, altName] : { std::pair { "here", "IP:127.0.0.1" },
                                         std::pair { "elsewhere", "DNS:elsewhere.invalid" } }) {
        const QString n = QLatin1String(name);
        QFile ext(m_certificates.filePath(n + ".ext"));
        QVERIFY(ext.open(QIODevice::WriteOnly));
        ext.write(QByteArray("subjectAltName=") + altName + "\n");
        ext.close();
        QVERIFY(openssl({ "req", "-newkey", "rsa:2048", "-nodes", "-keyout", n + ".key", "-out",
                          n + ".csr", "-subj", "/CN=" + n }));
        QVERIFY(openssl({ "x509", "-req", "-in", n + ".csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                          "-CAcreateserial", "-out", n + ".crt", "-days", "2", "-extfile",
                          n + ".ext" }));
        QFile::setPermissions(m_certificates.filePath(n + ".key"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    }
}

// Kit, tap and broker with a chopped stream salted with junk and two tags: every report is
// published once, in order per tag, to the cm, and a consumer that starts late gets the
// anchors, the latest positions and the status.
void MqttTest::everyReportOnceAndExact()
{
    constexpr int Frames = 400;
    Broker broker;
    QVERIFY(broker.start());
    Subscriber subscriber;
    QVERIFY(subscriber.start(broker, "zorvan/#"));
    QTest::qWait(300);
    ToolProcess kit;
    QVERIFY(
        kit.start({ "--rate", "400", "--count", QString::number(Frames), "--tags", "2", "--chop",
                    "--garbage", "0.2", "--noise-cm", "3", "--seed", "5", "--print-frames" }));
    ToolProcess tap("zorvan-tap");
    QVERIFY(tap.start({ "--kit", QStringLiteral("127.0.0.1:%1").arg(kit.port()), "--quiet",
                        "--mqtt", QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port()),
                        "--kit-name", "test" }));
    QVERIFY(kit.waitForExit(PatienceMs));
    QVERIFY(
        tap.waitFor([&] { return subscriber.payloads("/position").size() >= Frames; }, PatienceMs));
    QVERIFY(tap.waitFor([&] { return !tap.errorLines().filter("kit link lost").isEmpty(); },
                        PatienceMs));
    QTest::qWait(300);

    QMap<int, QStringList> sent;
    for (const QString &hex : kit.frames()) {
        const QByteArray frame = QByteArray::fromHex(hex.toLatin1());
        sent[uchar(frame.at(2))] << frameText(frame);
    }
    QMap<int, QStringList> published;
    QMap<int, QList<qint64>> seqs;
    for (const QByteArray &payload : subscriber.payloads("/position")) {
        const QJsonObject o = QJsonDocument::fromJson(payload).object();
        published[o.value("tag").toInt()] << payloadText(o);
        seqs[o.value("tag").toInt()] << qint64(o.value("seq").toDouble());
        QVERIFY2(o.value("time").toString().endsWith(QLatin1Char('Z')), payload.constData());
        QVERIFY(o.value("quality").toObject().contains("gdop"));
    }
    QCOMPARE(sent.keys(), (QList<int> { 5, 6 }));
    QCOMPARE(published, sent);
    for (const QList<qint64> &s : std::as_const(seqs)) {
        for (int i = 0; i < s.size(); ++i)
            QCOMPARE(s.at(i), qint64(i + 1));
    }

    QMap<QString, QByteArray> late = retained(broker, "zorvan/test/#");
    QCOMPARE(late.value("zorvan/test/status"), QByteArray("kit-lost"));
    QCOMPARE(QJsonDocument::fromJson(late.value("zorvan/test/anchors")).array().size(), 4);
    for (int tag : { 5, 6 }) {
        const QJsonObject last
            = QJsonDocument::fromJson(
                  late.value(QStringLiteral("zorvan/test/tag/%1/position").arg(tag)))
                  .object();
        QCOMPARE(payloadText(last), sent[tag].last());
    }
    stop(tap);
    QVERIFY(tap.waitForExit(PatienceMs));
    QCOMPARE(retained(broker, "zorvan/test/status").value("zorvan/test/status"),
             QByteArray("offline"));
}

// The broker dies mid-run: the tap's viewers go on getting every byte, and once the broker is
// back the tap is online there again and publishes.
void MqttTest::brokerRestarts()
{
    Broker broker;
    QVERIFY(broker.start());
    ToolProcess kit;
    QVERIFY(kit.start({ "--rate", "100" }));
    ToolProcess tap("zorvan-tap");
    QVERIFY(tap.start({ "--kit", QStringLiteral("127.0.0.1:%1").arg(kit.port()), "--mqtt",
                        QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port()), "--kit-name",
                        "test" }));
    QTcpSocket viewer;
    viewer.connectToHost(QHostAddress::LocalHost, tap.port());
    QVERIFY(viewer.waitForConnected(PatienceMs));
    qint64 received = 0;
    connect(&viewer, &QTcpSocket::readyRead, this, [&] { received += viewer.readAll().size(); });
    QVERIFY(tap.waitFor([&] { return tap.errorLines().filter("mqtt connected").size() > 0; },
                        PatienceMs));

    broker.kill();
    QVERIFY(tap.waitFor([&] { return !tap.errorLines().filter("mqtt reconnecting").isEmpty(); },
                        PatienceMs));
    const qint64 before = received;
    QTest::qWait(1500);
    QVERIFY2(received - before >= 50 * 52, qPrintable(QString::number(received - before)));

    QVERIFY(broker.restart());
    Subscriber subscriber;
    QVERIFY(subscriber.start(broker, "zorvan/test/#"));
    QVERIFY(tap.waitFor(
        [&] {
            return subscriber.payloads("/status").contains("online")
                && subscriber.payloads("/position").size() > 10;
        },
        PatienceMs));
}

void MqttTest::credentialsAndCertificates_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QStringList>("tapExtra");
    QTest::addColumn<QStringList>("subscriberExtra");
    QTest::addColumn<QString>("refusal"); // empty when the tap must publish

    const QString ca = m_certificates.filePath("ca.crt");
    const QByteArray passwords = "allow_anonymous false\npassword_file %DIR%/passwords\n";
    const auto tls = [&](const char *name) {
        return QByteArray("allow_anonymous true\ncafile ") + ca.toUtf8() + "\ncertfile "
            + m_certificates.filePath(QLatin1String(name) + ".crt").toUtf8() + "\nkeyfile "
            + m_certificates.filePath(QLatin1String(name) + ".key").toUtf8() + "\n";
    };
    QTest::newRow("the right password, from a file")
        << passwords << "mqtt://alice@127.0.0.1:%PORT%"
        << QStringList { "--mqtt-password-file", "%DIR%/right" }
        << QStringList { "-u", "alice", "-P", "s3cret" } << "";
    QTest::newRow("a wrong password")
        << passwords << "mqtt://alice@127.0.0.1:%PORT%"
        << QStringList { "--mqtt-password-file", "%DIR%/wrong" } << QStringList {}
        << "refused the connection: Connection Refused: not authorised";
    QTest::newRow("TLS with the broker's CA")
        << tls("here") << "mqtts://127.0.0.1:%PORT%" << QStringList { "--mqtt-ca", ca }
        << QStringList { "--cafile", ca } << "";
    QTest::newRow("TLS, a certificate for another host")
        << tls("elsewhere") << "mqtts://127.0.0.1:%PORT%" << QStringList { "--mqtt-ca", ca }
        << QStringList {} << "did not prove who it is";
}

// A wrong password or a certificate that does not verify is one line and status 2 at start;
// the right ones publish.
void MqttTest::credentialsAndCertificates()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, url);
    QFETCH(QStringList, tapExtra);
    QFETCH(QStringList, subscriberExtra);
    QFETCH(QString, refusal);
    Broker broker;
    broker.write("right", "s3cret\n");
    broker.write("wrong", "guess\n");
    QProcess passwd;
    passwd.start(Broker::program("mosquitto_passwd"),
                 { "-c", "-b", broker.path("passwords"), "alice", "s3cret" });
    QVERIFY(passwd.waitForFinished(PatienceMs) && passwd.exitCode() == 0);
    QFile::setPermissions(broker.path("passwords"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    const QString dir = broker.dir();
    QVERIFY2(broker.start(config.replace("%DIR%", dir.toUtf8())), qPrintable(broker.log()));
    for (QString &argument : tapExtra)
        argument.replace("%DIR%", dir);

    ToolProcess kit;
    QVERIFY(kit.start({ "--rate", "50" }));
    Subscriber subscriber;
    if (refusal.isEmpty()) {
        QVERIFY(subscriber.start(broker, "zorvan/#", subscriberExtra));
        QTest::qWait(300);
    }
    QProcess tap;
    tap.start(ToolProcess::program("zorvan-tap"),
              QStringList { "--kit", QStringLiteral("127.0.0.1:%1").arg(kit.port()), "--listen",
                            "127.0.0.1:0", "--quiet", "--mqtt",
                            url.replace("%PORT%", QString::number(broker.port())) }
                  + tapExtra);
    if (!refusal.isEmpty()) {
        QVERIFY(tap.waitForFinished(PatienceMs));
        QCOMPARE(tap.exitCode(), 2);
        const QString errors = QString::fromUtf8(tap.readAllStandardError());
        QVERIFY2(errors.contains(refusal) && errors.count('\n') == 1, qPrintable(errors));
        return;
    }
    QVERIFY(kit.waitFor([&] { return subscriber.payloads("/position").size() > 5; }, PatienceMs));
    QCOMPARE(tap.state(), QProcess::Running);
    tap.terminate();
    QVERIFY(tap.waitForFinished(PatienceMs));
}

QTEST_GUILESS_MAIN(MqttTest)
#include "tst_mqtt.moc"
