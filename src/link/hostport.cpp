#include "link/hostport.h"

bool parseHostPort(const QString &text, QString &host, quint16 &port)
{
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    bool ok = false;
    const uint value = text.mid(colon + 1).toUInt(&ok, 10);
    if (!ok || value > 65535)
        return false;
    QString name = text.left(colon);
    if (name.startsWith(QLatin1Char('[')) && name.endsWith(QLatin1Char(']')))
        name = name.mid(1, name.size() - 2);
    if (name.isEmpty())
        return false;
    host = name;
    port = quint16(value);
    return true;
}
