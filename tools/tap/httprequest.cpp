#include "httprequest.h"

namespace {

bool isToken(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
            || QByteArray("!#$%&'*+-.^_`|~").contains(c);
        if (!ok)
            return false;
    }
    return true;
}

bool isPrintable(const QByteArray &text)
{
    for (char c : text) {
        if ((uchar(c) < 0x20 && c != '\t') || c == 0x7f)
            return false;
    }
    return true;
}

} // namespace

HttpRequest::State HttpRequest::parse(const QByteArray &bytes)
{
    const int end = bytes.left(MaxSize).indexOf("\r\n\r\n");
    if (end < 0)
        return bytes.size() >= MaxSize ? State::TooLarge : State::Incomplete;
    const QList<QByteArray> lines = bytes.left(end).split('\n');
    m_headers.clear();
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (!line.endsWith('\r') && i + 1 < lines.size())
            return State::Malformed;
        if (line.endsWith('\r'))
            line.chop(1);
        if (!isPrintable(line))
            return State::Malformed;
        if (i == 0) {
            const QList<QByteArray> parts = line.split(' ');
            if (parts.size() != 3 || !isToken(parts.at(0)) || !parts.at(1).startsWith('/')
                || (parts.at(2) != "HTTP/1.1" && parts.at(2) != "HTTP/1.0"))
                return State::Malformed;
            m_method = parts.at(0);
            const int query = parts.at(1).indexOf('?');
            m_path = query < 0 ? parts.at(1) : parts.at(1).left(query);
            continue;
        }
        const int colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.left(colon)))
            return State::Malformed;
        m_headers << qMakePair(line.left(colon).toLower(), line.mid(colon + 1).trimmed());
    }
    return State::Complete;
}

QByteArray HttpRequest::header(const QByteArray &name) const
{
    const QByteArray lower = name.toLower();
    for (const auto &header : m_headers) {
        if (header.first == lower)
            return header.second;
    }
    return {};
}

bool HttpRequest::headerHas(const QByteArray &name, const QByteArray &token) const
{
    const QList<QByteArray> values = header(name).toLower().split(',');
    for (const QByteArray &value : values) {
        if (value.trimmed() == token.toLower())
            return true;
    }
    return false;
}
