#include "view/footprint.h"

#include <QGraphicsView>

#include <algorithm>
#include <cmath>

namespace {

// Rows are gathered in bands this high: taller bands give fewer rectangles for the view to
// test each item against, at the cost of repainting more beside the sloping parts of a ring.
constexpr int BandHeight = 8;
// Antialiasing reaches a pixel beyond an outline; the view itself allows two.
constexpr int Antialiasing = 2;
// A circle is drawn as four curves that stray outside the true circle by up to 0.03 % of
// its radius; its stroke's outline is approximated, then flattened, each to within a
// quarter pixel.
constexpr double CurveStray = 5e-4;
constexpr double Flattening = 1;

} // namespace

Footprint::Footprint(const QGraphicsView *view)
    : m_transform(view->viewportTransform())
    , m_viewport(view->viewport()->rect())
    , m_keepsCircles(m_transform.type() <= QTransform::TxScale
                     && qFuzzyCompare(qAbs(m_transform.m11()), qAbs(m_transform.m22())))
    , m_bandCount((m_viewport.height() + BandHeight - 1) / BandHeight)
{
    m_spans.reserve(size_t(m_bandCount) * 8);
}

void Footprint::addSpan(int band, int left, int right)
{
    left = std::max(left, m_viewport.left());
    right = std::min(right, m_viewport.right() + 1);
    if (left < right)
        m_spans.push_back({ band, left, right });
}

void Footprint::addRect(const QRectF &sceneRect)
{
    const QRect covered = m_transform.mapRect(sceneRect).toAlignedRect().adjusted(
                              -Antialiasing, -Antialiasing, Antialiasing, Antialiasing)
        & m_viewport;
    if (covered.isEmpty())
        return;
    for (int band = covered.top() / BandHeight; band <= covered.bottom() / BandHeight; ++band)
        addSpan(band, covered.left(), covered.right() + 1);
}

void Footprint::addCircle(const QRectF &before, const QRectF &after, qreal penWidth)
{
    if (!m_keepsCircles) {
        for (const QRectF &rect : { before, after })
            addRect(rect.adjusted(-penWidth, -penWidth, penWidth, penWidth));
        return;
    }
    const double scale = qAbs(m_transform.m11());
    const auto margin = [&](double radius) {
        return penWidth * scale / 2 + Antialiasing + Flattening + CurveStray * radius;
    };
    const double r0 = before.width() / 2 * scale;
    const double r1 = after.width() / 2 * scale;
    // A circle that only grew or shrank about its centre sweeps one ring between the two.
    if (before.center() == after.center()) {
        addRing(m_transform.map(before.center()), std::min(r0, r1) - margin(std::min(r0, r1)),
                std::max(r0, r1) + margin(std::max(r0, r1)));
        return;
    }
    addRing(m_transform.map(before.center()), r0 - margin(r0), r0 + margin(r0));
    addRing(m_transform.map(after.center()), r1 - margin(r1), r1 + margin(r1));
}

void Footprint::addRing(const QPointF &centre, double inner, double outer)
{
    const double top = std::max(double(m_viewport.top()), std::floor(centre.y() - outer));
    const double bottom = std::min(double(m_viewport.bottom()), std::ceil(centre.y() + outer));
    if (top > bottom)
        return;
    for (int band = int(top) / BandHeight; band <= int(bottom) / BandHeight; ++band) {
        // The band's rows span [y0, y1); its nearest and farthest rows from the centre bound
        // the ring's width in it.
        const double y0 = band * BandHeight - centre.y();
        const double y1 = y0 + BandHeight;
        const double nearest = y0 > 0 ? y0 : (y1 < 0 ? -y1 : 0);
        const double farthest = std::max(std::abs(y0), std::abs(y1));
        if (nearest >= outer)
            continue;
        const double reach = std::sqrt(outer * outer - nearest * nearest);
        const int left = int(std::floor(centre.x() - reach));
        const int right = int(std::ceil(centre.x() + reach));
        if (farthest < inner) {
            // Columns wholly inside the ring's hole on every row of the band are left out.
            const double hole = std::sqrt(inner * inner - farthest * farthest);
            const int holeLeft = int(std::ceil(centre.x() - hole));
            const int holeRight = int(std::floor(centre.x() + hole));
            if (holeLeft < holeRight) {
                addSpan(band, left, holeLeft);
                addSpan(band, holeRight, right);
                continue;
            }
        }
        addSpan(band, left, right);
    }
}

QRegion Footprint::region() const
{
    // Spans are put in order of band, then of column, and each band's rectangles are the same
    // height: the region is built by appending, never by merging.
    std::vector<int> start(size_t(m_bandCount) + 1, 0);
    for (const Span &span : m_spans)
        ++start[size_t(span.band) + 1];
    for (size_t band = 1; band < start.size(); ++band)
        start[band] += start[band - 1];
    std::vector<Span> sorted(m_spans.size());
    std::vector<int> next(start.begin(), start.end() - 1);
    for (const Span &span : m_spans)
        sorted[size_t(next[size_t(span.band)]++)] = span;

    QRegion region;
    for (int band = 0; band < m_bandCount; ++band) {
        const auto first = sorted.begin() + start[size_t(band)];
        const auto last = sorted.begin() + start[size_t(band) + 1];
        if (first == last)
            continue;
        std::sort(first, last, [](const Span &a, const Span &b) { return a.left < b.left; });
        const int y = band * BandHeight;
        const int height = std::min(BandHeight, m_viewport.bottom() + 1 - y);
        int left = first->left;
        int right = first->right;
        for (auto span = first; span != last; ++span) {
            if (span->left > right) {
                region += QRect(left, y, right - left, height);
                left = span->left;
            }
            right = std::max(right, span->right);
        }
        region += QRect(left, y, right - left, height);
    }
    return region;
}
