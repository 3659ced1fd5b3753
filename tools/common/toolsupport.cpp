#include "toolsupport.h"

#include "link/hostport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QTcpServer>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace tools {

namespace {

int signalPipe[2] = { -1, -1 };

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
}

} // namespace

void quitOnSignals(QCoreApplication &app, std::function<void()> before)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        return;
    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [&app, before] {
        if (before)
            before();
        app.exit(0);
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool parseListenAddress(const QString &text, QHostAddress &host, quint16 &port)
{
    QString name;
    quint16 number = 0;
    if (!parseHostPort(text, name, number) || !host.setAddress(name))
        return false;
    port = number;
    return true;
}

bool parseCommandLine(QCommandLineParser &parser, const QStringList &arguments, QString *error)
{
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        *error
            = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first());
        return false;
    }
    return true;
}

bool takeListenOption(const QCommandLineParser &parser, QHostAddress &host, quint16 &port,
                      QString *error)
{
    const QString value = parser.value(QStringLiteral("listen"));
    if (!parser.isSet(QStringLiteral("listen")) || parseListenAddress(value, host, port))
        return true;
    *error = QStringLiteral("--listen takes HOST:PORT with a numeric address, not '%1'").arg(value);
    return false;
}

bool listen(QTcpServer &server, const QHostAddress &host, quint16 port, QString *error)
{
    if (server.listen(host, port))
        return true;
    *error = QStringLiteral("cannot listen on %1:%2: %3")
                 .arg(host.toString())
                 .arg(port)
                 .arg(server.errorString());
    return false;
}

bool createFile(QFile &file, const QString &path, bool overwrite, QString *error)
{
    file.setFileName(path);
    const QIODevice::OpenMode mode
        = QIODevice::WriteOnly | (overwrite ? QIODevice::Truncate : QIODevice::NewOnly);
    if (file.open(mode))
        return true;
    *error = !overwrite && file.exists()
        ? QStringLiteral("%1 exists; add --force to overwrite it").arg(path)
        : QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return false;
}

} // namespace tools
