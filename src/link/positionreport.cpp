#include "link/positionreport.h"

namespace {

class FrameBytes
{
public:
    FrameBytes(const char *data, qsizetype size)
        : m_data(reinterpret_cast<const uchar *>(data))
        , m_size(size)
    { }

    uint byte(int i) const { return i < m_size ? m_data[i] : 0u; }
    uint unsigned16(int i) const { return byte(i) << 8 | byte(i + 1); }
    float metres(int i) const { return float(qint16(unsigned16(i)) / 100.0); }

private:
    const uchar *m_data;
    qsizetype m_size;
};

void put16(QByteArray &frame, int offset, int value)
{
    frame[offset] = char((value >> 8) & 0xFF);
    frame[offset + 1] = char(value & 0xFF);
}

} // namespace

void decodePositionReport(const char *data, qsizetype size, PositionReport &report)
{
    const FrameBytes frame(data, size);
    report.tagId = int(frame.byte(2));
    report.tagX = frame.metres(3);
    report.tagY = frame.metres(5);
    report.tagZ = frame.metres(7);
    for (int k = 0; k < PositionReport::AnchorCount; ++k) {
        report.anchorId[k] = int(frame.byte(9 + 3 * k));
        report.range[k] = int(frame.unsigned16(10 + 3 * k));
        report.anchorX[k] = frame.metres(22 + 7 * k);
        report.anchorY[k] = frame.metres(24 + 7 * k);
        report.anchorZ[k] = frame.metres(26 + 7 * k);
        report.heightDiff[k] = centimetres(double(report.anchorZ[k]) - double(report.tagZ));
    }
}

void decodePositionReport(const QByteArray &frame, PositionReport &report)
{
    decodePositionReport(frame.constData(), frame.size(), report);
}

QByteArray encodePositionReport(const ReportFields &fields)
{
    QByteArray frame(ReportFrame::Size, '\0');
    frame[0] = ReportFrame::Start0;
    frame[1] = ReportFrame::Start1;
    frame[2] = char(fields.tagId & 0xFF);
    put16(frame, 3, fields.tagX);
    put16(frame, 5, fields.tagY);
    put16(frame, 7, fields.tagZ);
    for (int k = 0; k < PositionReport::AnchorCount; ++k) {
        frame[9 + 3 * k] = char(fields.anchorId[k] & 0xFF);
        put16(frame, 10 + 3 * k, fields.range[k]);
        put16(frame, 22 + 7 * k, fields.anchorX[k]);
        put16(frame, 24 + 7 * k, fields.anchorY[k]);
        put16(frame, 26 + 7 * k, fields.anchorZ[k]);
    }
    frame[50] = ReportFrame::End0;
    frame[51] = ReportFrame::End1;
    return frame;
}
