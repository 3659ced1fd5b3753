#ifndef TOOLSUPPORT_H
#define TOOLSUPPORT_H

#include <QHostAddress>
#include <QString>

#include <functional>

class QCommandLineParser;
class QCoreApplication;
class QFile;
class QTcpServer;

namespace tools {

// Ctrl+C and SIGTERM run `before` and end the event loop with status 0, so that files are
// flushed and sockets and terminals close cleanly.
void quitOnSignals(QCoreApplication &app, std::function<void()> before = {});

// HOST:PORT with a numeric address ([::1]:PORT for IPv6); false if `text` is not one.
bool parseListenAddress(const QString &text, QHostAddress &host, quint16 &port);

// Parses a tool's command line, which takes options only; `error` says what is wrong.
bool parseCommandLine(QCommandLineParser &parser, const QStringList &arguments, QString *error);

// Takes --listen HOST:PORT into `host` and `port` when it is given.
bool takeListenOption(const QCommandLineParser &parser, QHostAddress &host, quint16 &port,
                      QString *error);

// Starts `server` listening; `error` says why it could not, naming the address.
bool listen(QTcpServer &server, const QHostAddress &host, quint16 port, QString *error);

// Opens `path` for writing, refusing an existing file unless `overwrite`; `error` says why.
bool createFile(QFile &file, const QString &path, bool overwrite, QString *error);

} // namespace tools

#endif // TOOLSUPPORT_H
