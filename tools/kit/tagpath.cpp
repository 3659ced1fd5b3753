#include "tagpath.h"

#include <cmath>

namespace kit {

namespace {

constexpr int TagHeight = 120;

} // namespace

std::array<int, 3> tagPosition(qint64 index, const std::array<Anchor, 4> &anchors)
{
    int minX = anchors[0].x, maxX = minX, minY = anchors[0].y, maxY = minY;
    for (const Anchor &a : anchors) {
        minX = qMin(minX, a.x);
        maxX = qMax(maxX, a.x);
        minY = qMin(minY, a.y);
        maxY = qMax(maxY, a.y);
    }
    const double angle = 2 * M_PI * double(index % FramesPerLoop) / FramesPerLoop;
    return { int(std::lround((minX + maxX) / 2.0 + 0.35 * (maxX - minX) * std::cos(angle))),
             int(std::lround((minY + maxY) / 2.0 + 0.35 * (maxY - minY) * std::sin(2 * angle))),
             TagHeight };
}

} // namespace kit
