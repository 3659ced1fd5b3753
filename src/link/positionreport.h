#ifndef POSITIONREPORT_H
#define POSITIONREPORT_H

#include <QByteArray>
#include <QtGlobal>

#include <cmath>

// The decoded contents of one position report frame. Slot k of every per-anchor
// array comes from anchor entry k of the frame.
struct PositionReport
{
    static constexpr int AnchorCount = 4;

    float tagX = 0;
    float tagY = 0;
    float tagZ = 0;
    float anchorX[AnchorCount] = {};
    float anchorY[AnchorCount] = {};
    float anchorZ[AnchorCount] = {};
    int anchorId[AnchorCount] = { 0, 1, 2, 3 };
    int range[AnchorCount] = {};
    int tagId = 0;
    int heightDiff[AnchorCount] = {};
};

namespace ReportFrame {
constexpr int Size = 52;
constexpr char Start0 = 0x37;
constexpr char Start1 = 0x38;
constexpr char End0 = 0x27;
constexpr char End1 = 0x28;
} // namespace ReportFrame

// Whole centimetres from metres. Coordinates are stored as the float nearest to cm / 100,
// so truncating would lose a centimetre on about half of all values: round instead.
inline int centimetres(double metres)
{
    return int(std::lround(metres * 100.0));
}

// Overwrites every member of `report`. Bytes past the end of a short input read as 0.
void decodePositionReport(const char *data, qsizetype size, PositionReport &report);
void decodePositionReport(const QByteArray &frame, PositionReport &report);

#endif // POSITIONREPORT_H
