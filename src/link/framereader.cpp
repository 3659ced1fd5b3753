#include "link/framereader.h"

#include "link/positionreport.h"

#include <cstring>

namespace {

bool isFrame(const char *p)
{
    return p[0] == ReportFrame::Start0 && p[1] == ReportFrame::Start1 && p[50] == ReportFrame::End0
        && p[51] == ReportFrame::End1;
}

// Whether the `n` bytes at `p` (fewer than a frame) could still be the start of one.
bool couldBeginFrame(const char *p, qsizetype n)
{
    return p[0] == ReportFrame::Start0 && (n < 2 || p[1] == ReportFrame::Start1)
        && (n < 51 || p[50] == ReportFrame::End0);
}

qsizetype nextStartByte(const char *data, qsizetype from, qsizetype size)
{
    if (from >= size)
        return size;
    const void *hit = std::memchr(data + from, ReportFrame::Start0, size_t(size - from));
    return hit ? static_cast<const char *>(hit) - data : size;
}

} // namespace

void FrameReader::append(const QByteArray &bytes)
{
    if (m_pos == m_buffer.size()) {
        // Nothing pending: share the arrival instead of copying it.
        m_buffer = bytes;
        m_pos = 0;
    } else {
        m_buffer.append(bytes);
    }
}

const char *FrameReader::nextFrame()
{
    const char *data = m_buffer.constData();
    const qsizetype size = m_buffer.size();
    qsizetype p = nextStartByte(data, m_pos, size);
    while (size - p >= ReportFrame::Size) {
        if (isFrame(data + p)) {
            m_pos = p + ReportFrame::Size;
            return data + p;
        }
        p = nextStartByte(data, p + 1, size);
    }
    while (p < size && !couldBeginFrame(data + p, size - p))
        p = nextStartByte(data, p + 1, size);
    keepTail(p);
    return nullptr;
}

void FrameReader::clear()
{
    m_buffer.clear();
    m_pos = 0;
}

void FrameReader::keepTail(qsizetype from)
{
    // A fresh copy of the short tail also frees the storage of a large arrival.
    m_buffer = from < m_buffer.size() ? m_buffer.mid(from) : QByteArray();
    m_pos = 0;
}
