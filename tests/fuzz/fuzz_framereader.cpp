#include "kitframes.h"
#include "link/framereader.h"
#include "link/positionreport.h"

#include <QByteArray>
#include <QList>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

bool isFrame(const char *p)
{
    return p[0] == ReportFrame::Start0 && p[1] == ReportFrame::Start1 && p[50] == ReportFrame::End0
        && p[51] == ReportFrame::End1;
}

// Feeds `stream` cut at the given points and returns the frames in order, checking on the way
// that every frame is well formed and that no more than 51 bytes wait after a read.
QList<QByteArray> readCut(const QByteArray &stream, const QList<int> &cuts)
{
    FrameReader reader;
    QList<QByteArray> frames;
    int from = 0;
    for (int i = 0; i <= cuts.size(); ++i) {
        const int to = i < cuts.size() ? cuts.at(i) : stream.size();
        reader.append(stream.mid(from, to - from));
        from = to;
        while (const char *frame = reader.nextFrame()) {
            if (!isFrame(frame))
                abort();
            frames << QByteArray(frame, ReportFrame::Size);
        }
        if (reader.pendingSize() > FrameReader::MaxPending)
            abort();
    }
    return frames;
}

} // namespace

// The first byte chooses how the rest is cut; the rest is the stream. Whole frames planted at
// positions no other frame overlaps must all come out exactly once.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const QByteArray stream(reinterpret_cast<const char *>(data + 1), int(size - 1));
    uint32_t state = data[0] * 2654435761u + 1;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };

    QList<int> cuts;
    for (int at = 0; at < stream.size();) {
        at += 1 + int(next() % 64);
        if (at < stream.size())
            cuts << at;
    }
    QList<int> everyByte;
    for (int at = 1; at < stream.size(); ++at)
        everyByte << at;

    const QList<QByteArray> whole = readCut(stream, {});
    if (readCut(stream, cuts) != whole || readCut(stream, everyByte) != whole)
        abort();

    // Junk that cannot start a frame, with real frames between: each comes out once, in order.
    QByteArray mixed;
    QList<QByteArray> planted;
    for (int i = 0; i < stream.size(); ++i) {
        const char c = stream.at(i);
        mixed.append(c == ReportFrame::Start0 ? char(0) : c);
        if (next() % 16 == 0) {
            ReportFields fields;
            fields.tagId = int(next() & 0xFF);
            fields.tagX = int(next() & 0xFFFF);
            fields.range[0] = int(next() & 0xFFFF);
            const QByteArray frame = encodePositionReport(fields);
            planted << frame;
            mixed += frame;
        }
    }
    if (readCut(mixed, cuts) != planted)
        abort();
    return 0;
}
