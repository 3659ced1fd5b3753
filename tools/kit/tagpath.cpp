#include "tagpath.h"

#include <cmath>

namespace kit {

namespace {

// Reports per loop of the figure of eight: ten seconds at the default rate.
constexpr int FramesPerLoop = 100;
// The walk's two periods share no factor, so that in a minute at 20 reports a second it has
// crossed the area many ways rather than retraced one line.
constexpr int WalkPeriodX = 577;
constexpr int WalkPeriodY = 839;
// How far along its path each further tag is.
constexpr int TagPhase = 37;

} // namespace

std::array<int, 3> tagPosition(qint64 step, int tag, const std::array<Anchor, 4> &anchors,
                               Path path, int height)
{
    int minX = anchors[0].x, maxX = minX, minY = anchors[0].y, maxY = minY;
    for (const Anchor &a : anchors) {
        minX = qMin(minX, a.x);
        maxX = qMax(maxX, a.x);
        minY = qMin(minY, a.y);
        maxY = qMax(maxY, a.y);
    }
    const double cx = (minX + maxX) / 2.0, cy = (minY + maxY) / 2.0;
    const double w = maxX - minX, h = maxY - minY;
    const qint64 at = step + qint64(tag) * TagPhase;
    double x, y;
    if (path == Path::Eight) {
        // Each further tag on a smaller eight of its own.
        const double size = 0.35 * (1 - 0.1 * tag);
        const double angle = 2 * M_PI * double(at % FramesPerLoop) / FramesPerLoop;
        x = cx + size * w * std::cos(angle);
        y = cy + size * h * std::sin(2 * angle);
    } else {
        x = cx + 0.4 * w * std::sin(2 * M_PI * double(at % WalkPeriodX) / WalkPeriodX);
        y = cy + 0.4 * h * std::sin(2 * M_PI * double(at % WalkPeriodY) / WalkPeriodY);
    }
    return { int(std::lround(x)), int(std::lround(y)), height };
}

} // namespace kit
