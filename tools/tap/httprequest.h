#ifndef HTTPREQUEST_H
#define HTTPREQUEST_H

#include <QByteArray>
#include <QList>
#include <QPair>

// The head of one HTTP/1.x request: its request line and headers, read from what has arrived so
// far and bounded, so that a client that sends without end is cut off, not buffered.
class HttpRequest
{
public:
    // Request line and headers together; a browser's are well under 2 KiB.
    static constexpr int MaxSize = 8 * 1024;
    enum class State { Incomplete, Complete, TooLarge, Malformed };

    // Reads the request's head from `bytes`, everything received from the start of it.
    State parse(const QByteArray &bytes);

    QByteArray method() const { return m_method; }
    // The path without its query.
    QByteArray path() const { return m_path; }
    // The value of the header `name` (any case), trimmed; empty when it is missing.
    QByteArray header(const QByteArray &name) const;
    // Whether header `name` lists `token` (any case), as Connection: keep-alive, Upgrade.
    bool headerHas(const QByteArray &name, const QByteArray &token) const;

private:
    QByteArray m_method;
    QByteArray m_path;
    QList<QPair<QByteArray, QByteArray>> m_headers;
};

#endif // HTTPREQUEST_H
