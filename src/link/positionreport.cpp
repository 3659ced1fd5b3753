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
