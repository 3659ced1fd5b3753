#include "display/projection.h"

#include <QtGlobal>

#include <cmath>

int projectHorizontalRange(int range, int heightDiff)
{
    const qint64 d = qint64(range) * range - qint64(heightDiff) * heightDiff;
    return d > 0 ? int(std::sqrt(double(d))) : 0;
}
