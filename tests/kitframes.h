#ifndef KITFRAMES_H
#define KITFRAMES_H

#include "kitprotocol.h"
#include "link/positionreport.h"

#include <QByteArray>

// Frames for the tests come from the simulator's own encoder, written apart from the decoder,
// so that a misreading of the frame cannot hide behind a matching mistake in the writer.

// The fields of a frame as the kit sends them: centimetres, identifiers and ranges.
struct ReportFields
{
    int tagId = 0;
    int tagX = 0, tagY = 0, tagZ = 0;
    int anchorId[PositionReport::AnchorCount] = { 0, 1, 2, 3 };
    int range[PositionReport::AnchorCount] = {};
    int anchorX[PositionReport::AnchorCount] = {};
    int anchorY[PositionReport::AnchorCount] = {};
    int anchorZ[PositionReport::AnchorCount] = {};
};

inline QByteArray encodePositionReport(const ReportFields &fields)
{
    kit::Scene scene;
    scene.tagId = fields.tagId;
    scene.tagX = fields.tagX;
    scene.tagY = fields.tagY;
    scene.tagZ = fields.tagZ;
    for (size_t k = 0; k < size_t(PositionReport::AnchorCount); ++k) {
        scene.anchors[k]
            = { fields.anchorId[k], fields.anchorX[k], fields.anchorY[k], fields.anchorZ[k] };
        scene.ranges[k] = fields.range[k];
    }
    return kit::encodeReport(scene);
}

namespace testsupport {

// The frame the kit documents: tag 5 at (100, 200, 120) cm, anchors 0..3.
inline QByteArray workedFrame()
{
    return QByteArray::fromHex(
        "37 38 05 00 64 00 C8 00 78 00 01 2C 01 00 FA 02 01 90 03 00 C8 00 00"
        "00 00 00 00 FA 00 01 F4 00 00 00 FA 00 01 F4 01 F4 00 FA 00 00 00"
        "01 F4 00 FA 00 27 28");
}

// A tag among four anchors 5 m by 4 m apart, 2.5 m up; the ranges are left to the caller.
inline ReportFields fieldsAmongAnchors(int tagId, int tagX, int tagY, int tagZ)
{
    ReportFields fields;
    fields.tagId = tagId;
    fields.tagX = tagX;
    fields.tagY = tagY;
    fields.tagZ = tagZ;
    const int xs[] = { 0, 500, 500, 0 };
    const int ys[] = { 0, 0, 400, 400 };
    for (int k = 0; k < 4; ++k) {
        fields.anchorX[k] = xs[k];
        fields.anchorY[k] = ys[k];
        fields.anchorZ[k] = 250;
    }
    return fields;
}

inline QByteArray frameWith(int tagId, int tagX, int tagY, int tagZ = 120)
{
    ReportFields fields = fieldsAmongAnchors(tagId, tagX, tagY, tagZ);
    for (int k = 0; k < 4; ++k)
        fields.range[k] = 100 + 10 * k + tagId;
    return encodePositionReport(fields);
}

} // namespace testsupport

#endif // KITFRAMES_H
