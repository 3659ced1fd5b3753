#ifndef HOSTPORT_H
#define HOSTPORT_H

#include <QString>

// HOST:PORT as the tools take it on their command lines, with [::1]:PORT for IPv6. The port
// is a whole number up to 65535; the host is not looked up. False if `text` is not of that form.
bool parseHostPort(const QString &text, QString &host, quint16 &port);

#endif // HOSTPORT_H
