#ifndef STATISTICS_H
#define STATISTICS_H

#include <QList>
#include <QtGlobal>

#include <algorithm>
#include <cmath>

namespace tools {

// The value below which a share `p` (0 to 1) of `values` lie, by nearest rank; 0 when empty.
template<typename T> T percentile(QList<T> values, double p)
{
    if (values.isEmpty())
        return T();
    std::sort(values.begin(), values.end());
    const int rank = int(std::ceil(p * double(values.size())));
    return values.at(qBound(0, rank - 1, int(values.size()) - 1));
}

} // namespace tools

#endif // STATISTICS_H
