#include "calibration.h"

#include "trilateration.h"

#include <Eigen/Eigenvalues>
#include <unsupported/Eigen/LevenbergMarquardt>

#include <QHash>

#include <algorithm>
#include <cmath>
#include <limits>

namespace calibration {

namespace {

// More frames than this add little but time: the rest are thinned out evenly over the area.
constexpr int MaxFrames = 2400;
constexpr double FirstCellCm = 10;
constexpr int MinFrames = 50;
// A tag that spread less than this either way cannot tell one anchor's place from another's.
constexpr double MinSpreadCm = 30;
constexpr double MisplacedCm = 10;
constexpr double MisplacedSigmas = 3;
// Above this, an anchor's offset and its place move together in the fit: the capture cannot
// tell one from the other.
constexpr double InseparableCorrelation = 0.95;

using Vector = Eigen::VectorXd;
using Matrix = Eigen::MatrixXd;

// The full set of unknowns besides the tag's positions, in the order of the Jacobian's
// columns: each anchor's x and y, each anchor's offset, each anchor's height, then each tag's
// height.
constexpr int OffsetColumn = 2 * AnchorCount;
constexpr int HeightColumn = 3 * AnchorCount;
constexpr int TagHeightColumn = 4 * AnchorCount;

struct Layout
{
    tools::Anchors anchors;
    std::array<double, AnchorCount> offsets = {};
    std::vector<double> tagHeights;
};

// The anchors in a frame of their own, since ranges fix only their shape: anchor 0 at the
// origin, anchor 1 on +x. Each tag is taken to stay at one height, solved with the rest: with
// the anchors nearly level, a height free in every frame would let the layout's scale drift
// with the noise. The parameters are x1, x2, y2, x3, y3, the four offsets, each tag's
// height, then (free heights only) z1, z2, z3; anchor 0's height stays, as the ranges cannot
// tell a lift of everything.
class Model
{
public:
    Model(const QList<Observation> &frames, const tools::Anchors &start, int tags, bool freeHeights)
        : m_frames(frames)
        , m_heights { start[0].z(), start[1].z(), start[2].z(), start[3].z() }
        , m_tags(tags)
        , m_freeHeights(freeHeights)
    {
        m_columns = { 2, 4, 5, 6, 7 };
        for (int k = 0; k < AnchorCount; ++k)
            m_columns.push_back(OffsetColumn + k);
        for (int t = 0; t < tags; ++t)
            m_columns.push_back(TagHeightColumn + t);
        if (freeHeights) {
            for (int k = 1; k < AnchorCount; ++k)
                m_columns.push_back(HeightColumn + k);
        }
    }

    int parameters() const { return int(m_columns.size()); }
    int values() const { return AnchorCount * int(m_frames.size()); }
    int fullColumns() const { return TagHeightColumn + m_tags; }
    const std::vector<int> &columns() const { return m_columns; }

    Layout layout(const Vector &p) const
    {
        Layout l;
        l.anchors[0] = { 0, 0, m_heights[0] };
        l.anchors[1] = { p(0), 0, m_heights[1] };
        l.anchors[2] = { p(1), p(2), m_heights[2] };
        l.anchors[3] = { p(3), p(4), m_heights[3] };
        for (int k = 0; k < AnchorCount; ++k)
            l.offsets[size_t(k)] = p(5 + k);
        for (int t = 0; t < m_tags; ++t)
            l.tagHeights.push_back(p(9 + t));
        if (m_freeHeights) {
            for (int k = 1; k < AnchorCount; ++k)
                l.anchors[size_t(k)].z() = p(8 + m_tags + k);
        }
        return l;
    }

    Vector parametersOf(const Layout &l) const
    {
        Vector p(parameters());
        p << l.anchors[1].x(), l.anchors[2].x(), l.anchors[2].y(), l.anchors[3].x(),
            l.anchors[3].y(), Eigen::Map<const Eigen::Vector4d>(l.offsets.data()),
            Eigen::Map<const Vector>(l.tagHeights.data(), m_tags),
            (m_freeHeights
                 ? Vector(Eigen::Vector3d(l.anchors[1].z(), l.anchors[2].z(), l.anchors[3].z()))
                 : Vector());
        return p;
    }

    // Each frame's four misfits once its tag's x and y are solved for this layout; with
    // `jacobian`, their derivatives by every column of the full set. A frame's own position
    // moves with the layout, so its part of each derivative is projected out.
    void evaluate(const Layout &l, Vector &residuals, Matrix *jacobian) const
    {
        residuals.resize(values());
        if (jacobian)
            jacobian->setZero(values(), fullColumns());
        for (int i = 0; i < m_frames.size(); ++i) {
            const Observation &o = m_frames[i];
            tools::Ranges ranges;
            for (size_t k = 0; k < size_t(AnchorCount); ++k)
                ranges[k] = o.ranges[k] - l.offsets[k];
            // Each solve starts where the tap first put the tag, never where a trial layout
            // left it: a far trial can leave it on the wrong side of an anchor.
            const Eigen::Vector3d tag
                = tools::trilaterateAtHeight(l.anchors, ranges,
                                             { o.fit[0], o.fit[1], l.tagHeights[size_t(o.tag)] })
                      .position;
            Eigen::Matrix<double, 4, 2> towards;
            Matrix byLayout = Matrix::Zero(AnchorCount, fullColumns());
            for (int k = 0; k < AnchorCount; ++k) {
                const Eigen::Vector3d d = tag - l.anchors[size_t(k)];
                const double distance = d.norm();
                residuals(AnchorCount * i + k) = distance - ranges[size_t(k)];
                const Eigen::Vector3d u
                    = distance > 0 ? Eigen::Vector3d(d / distance) : Eigen::Vector3d::Zero();
                towards.row(k) = u.head<2>().transpose();
                byLayout(k, 2 * k) = -u.x();
                byLayout(k, 2 * k + 1) = -u.y();
                byLayout(k, OffsetColumn + k) = 1;
                byLayout(k, HeightColumn + k) = -u.z();
                byLayout(k, TagHeightColumn + o.tag) = u.z();
            }
            if (!jacobian)
                continue;
            const Eigen::Matrix2d normal = towards.transpose() * towards;
            const Eigen::Matrix4d projection
                = Eigen::Matrix4d::Identity() - towards * normal.ldlt().solve(towards.transpose());
            jacobian->middleRows<AnchorCount>(AnchorCount * i) = projection * byLayout;
        }
    }

private:
    const QList<Observation> &m_frames;
    std::array<double, AnchorCount> m_heights;
    int m_tags;
    bool m_freeHeights;
    std::vector<int> m_columns;
};

struct Functor : Eigen::DenseFunctor<double>
{
    explicit Functor(const Model &model)
        : Eigen::DenseFunctor<double>(model.parameters(), model.values())
        , model(model)
    { }

    int operator()(const InputType &p, ValueType &residuals) const
    {
        model.evaluate(model.layout(p), residuals, nullptr);
        return 0;
    }

    int df(const InputType &p, JacobianType &jacobian) const
    {
        Vector residuals;
        Matrix full;
        model.evaluate(model.layout(p), residuals, &full);
        jacobian.resize(full.rows(), model.parameters());
        for (int c = 0; c < model.parameters(); ++c)
            jacobian.col(c) = full.col(model.columns()[size_t(c)]);
        return 0;
    }

    const Model &model;
};

// One frame per square of the area the tag visited, so that a tag that lingers somewhere
// does not outweigh the rest; the squares grow until few enough frames are left.
QList<Observation> spreadOut(const QList<Observation> &observations)
{
    if (observations.size() <= MaxFrames)
        return observations;
    for (double cell = FirstCellCm;; cell *= 2) {
        QHash<QPair<int, int>, int> taken;
        QList<Observation> kept;
        for (const Observation &o : observations) {
            const QPair<int, int> square(int(std::floor(o.fit[0] / cell)),
                                         int(std::floor(o.fit[1] / cell)));
            if (!taken.contains(square)) {
                taken.insert(square, 1);
                kept << o;
            }
        }
        if (kept.size() <= MaxFrames)
            return kept;
    }
}

struct Rigid
{
    Eigen::Matrix2d rotation = Eigen::Matrix2d::Identity();
    Eigen::Vector2d translation = Eigen::Vector2d::Zero();
    Eigen::Vector2d apply(const Eigen::Vector2d &p) const { return rotation * p + translation; }
};

// The rotation and translation, never a scale, that best lay `from` onto `to` over `which`.
Rigid fitRigid(const std::array<Eigen::Vector2d, AnchorCount> &from,
               const std::array<Eigen::Vector2d, AnchorCount> &to, const std::vector<int> &which)
{
    Eigen::Vector2d a = Eigen::Vector2d::Zero(), b = Eigen::Vector2d::Zero();
    for (int k : which) {
        a += from[size_t(k)] / double(which.size());
        b += to[size_t(k)] / double(which.size());
    }
    double sine = 0, cosine = 0;
    for (int k : which) {
        const Eigen::Vector2d p = from[size_t(k)] - a, q = to[size_t(k)] - b;
        cosine += p.dot(q);
        sine += p.x() * q.y() - p.y() * q.x();
    }
    Rigid rigid;
    rigid.rotation = Eigen::Rotation2Dd(std::atan2(sine, cosine)).toRotationMatrix();
    rigid.translation = b - rigid.rotation * a;
    return rigid;
}

struct Alignment
{
    Rigid rigid;
    bool mirrored = false;
    bool pinned = false;
    std::array<double, AnchorCount> distance = {};
};

// Lays the estimate onto the configured layout so that a misplaced anchor does not drag the
// others: every set of three anchors is tried, and all four, in both handednesses. The
// estimate is pinned when at least three anchors agree within their limits.
Alignment align(const std::array<Eigen::Vector2d, AnchorCount> &estimated,
                const std::array<Eigen::Vector2d, AnchorCount> &configured,
                const std::array<double, AnchorCount> &limit)
{
    const std::vector<std::vector<int>> sets
        = { { 0, 1, 2, 3 }, { 1, 2, 3 }, { 0, 2, 3 }, { 0, 1, 3 }, { 0, 1, 2 } };
    Alignment best;
    double bestScore = std::numeric_limits<double>::infinity();
    for (const bool mirrored : { false, true }) {
        std::array<Eigen::Vector2d, AnchorCount> from = estimated;
        if (mirrored) {
            for (Eigen::Vector2d &p : from)
                p.y() = -p.y();
        }
        for (const std::vector<int> &set : sets) {
            Alignment candidate;
            candidate.rigid = fitRigid(from, configured, set);
            candidate.mirrored = mirrored;
            candidate.pinned = true;
            double worst = 0;
            for (int k = 0; k < AnchorCount; ++k) {
                candidate.distance[size_t(k)]
                    = (candidate.rigid.apply(from[size_t(k)]) - configured[size_t(k)]).norm();
            }
            for (int k : set) {
                worst = std::max(worst, candidate.distance[size_t(k)] / limit[size_t(k)]);
                candidate.pinned
                    = candidate.pinned && candidate.distance[size_t(k)] <= limit[size_t(k)];
            }
            // All four agreeing beats any three; among the rest, the closest fit wins.
            const double score = worst - (set.size() == AnchorCount && candidate.pinned ? 1e9 : 0);
            if (score < bestScore) {
                bestScore = score;
                best = candidate;
            }
        }
    }
    return best;
}

} // namespace

Result calibrate(const QList<Observation> &observations,
                 const std::array<std::pair<int, std::array<double, 3>>, AnchorCount> &configured,
                 const Options &options)
{
    Result result;
    result.framesRead = int(observations.size());
    Eigen::Vector2d mean = Eigen::Vector2d::Zero();
    for (const Observation &o : observations)
        mean += Eigen::Vector2d(o.fit[0], o.fit[1]) / double(observations.size());
    Eigen::Matrix2d scatter = Eigen::Matrix2d::Zero();
    for (const Observation &o : observations) {
        const Eigen::Vector2d d = Eigen::Vector2d(o.fit[0], o.fit[1]) - mean;
        scatter += d * d.transpose() / double(observations.size());
    }
    const Eigen::Vector2d spread = Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d>(scatter)
                                       .eigenvalues()
                                       .cwiseMax(0)
                                       .cwiseSqrt();
    result.spreadMinor = spread(0);
    result.spreadMajor = spread(1);
    if (observations.size() < MinFrames || result.spreadMinor < MinSpreadCm) {
        result.error = QStringLiteral(
                           "the tag's positions spread only %1 by %2 cm (1 sigma) over %3 frames: "
                           "it barely moved or moved along a line, which cannot fix where the "
                           "anchors stand. Carry the tag about the whole area between the anchors, "
                           "in both directions, and record again.")
                           .arg(result.spreadMajor, 0, 'f', 0)
                           .arg(result.spreadMinor, 0, 'f', 0)
                           .arg(observations.size());
        return result;
    }

    // The configured layout in the model's own frame is the first guess, and so are the
    // tag's positions as the tap fitted them.
    tools::Anchors told;
    for (size_t k = 0; k < size_t(AnchorCount); ++k)
        told[k] = { configured[k].second[0], configured[k].second[1], configured[k].second[2] };
    const Eigen::Vector2d origin = told[0].head<2>();
    const double angle = std::atan2(told[1].y() - origin.y(), told[1].x() - origin.x());
    const Eigen::Matrix2d toModel = Eigen::Rotation2Dd(-angle).toRotationMatrix();
    QList<Observation> used = spreadOut(observations);
    for (Observation &o : used) {
        const Eigen::Vector2d p = toModel * (Eigen::Vector2d(o.fit[0], o.fit[1]) - origin);
        o.fit = { p.x(), p.y(), o.fit[2] };
    }
    result.framesUsed = int(used.size());

    int tags = 0;
    for (const Observation &o : used)
        tags = std::max(tags, o.tag + 1);
    Model model(used, told, tags, options.freeHeights);
    Layout start;
    for (size_t k = 0; k < size_t(AnchorCount); ++k)
        start.anchors[k] << toModel * (told[k].head<2>() - origin), told[k].z();
    // Each tag starts below the anchors, where it is: its fits from a wrong layout may put it
    // above them, on the mirror image.
    start.tagHeights.assign(size_t(tags), tools::startBelow(told).z());
    Vector p = model.parametersOf(start);
    Functor functor(model);
    Eigen::LevenbergMarquardt<Functor> lm(functor);
    lm.setMaxfev(400);
    lm.minimize(p);

    // The uncertainty in a frame that no anchor defines: the inverse over what the ranges fix,
    // leaving out the moves of the whole layout that they cannot see.
    const Layout layout = model.layout(p);
    Vector residuals;
    Matrix full;
    model.evaluate(layout, residuals, &full);
    // Fixed anchor heights drop out of the set.
    std::vector<int> kept;
    for (int c = 0; c < model.fullColumns(); ++c) {
        if (options.freeHeights || c < HeightColumn || c >= TagHeightColumn)
            kept.push_back(c);
    }
    const int columns = int(kept.size());
    Matrix reduced(full.rows(), columns);
    for (int c = 0; c < columns; ++c)
        reduced.col(c) = full.col(kept[size_t(c)]);
    const Matrix normal = reduced.transpose() * reduced;
    Eigen::SelfAdjointEigenSolver<Matrix> eigen(normal);
    const Vector values = eigen.eigenvalues();
    Vector inverse = Vector::Zero(columns);
    for (int i = 0; i < columns; ++i)
        inverse(i) = values(i) > 1e-9 * values(columns - 1) ? 1 / values(i) : 0;
    const double freedom = std::max(1, 2 * int(used.size()) - model.parameters());
    const double variance = residuals.squaredNorm() / freedom;
    const Matrix reducedCovariance
        = variance * eigen.eigenvectors() * inverse.asDiagonal() * eigen.eigenvectors().transpose();
    Matrix covariance = Matrix::Zero(model.fullColumns(), model.fullColumns());
    for (int a = 0; a < columns; ++a) {
        for (int b = 0; b < columns; ++b)
            covariance(kept[size_t(a)], kept[size_t(b)]) = reducedCovariance(a, b);
    }
    result.tagHeights = QList<double>(layout.tagHeights.begin(), layout.tagHeights.end());
    result.rms = std::sqrt(residuals.squaredNorm() / double(residuals.size()));

    std::array<Eigen::Vector2d, AnchorCount> estimated, told2;
    std::array<double, AnchorCount> limit;
    for (int k = 0; k < AnchorCount; ++k) {
        AnchorEstimate &a = result.anchors[size_t(k)];
        a.id = configured[size_t(k)].first;
        a.configured = configured[size_t(k)].second;
        const auto sd = [&](int c) { return std::sqrt(std::max(0.0, covariance(c, c))); };
        a.sigma = { sd(2 * k), sd(2 * k + 1), options.freeHeights ? sd(HeightColumn + k) : 0 };
        a.offset = layout.offsets[size_t(k)];
        a.offsetSigma = sd(OffsetColumn + k);
        for (int c : { 2 * k, 2 * k + 1 }) {
            const double scale = sd(c) * a.offsetSigma;
            if (scale > 0
                && std::abs(covariance(c, OffsetColumn + k)) / scale > InseparableCorrelation)
                a.separable = false;
        }
        estimated[size_t(k)] = layout.anchors[size_t(k)].head<2>();
        told2[size_t(k)] = told[size_t(k)].head<2>();
        limit[size_t(k)] = std::max(
            MisplacedCm,
            MisplacedSigmas * Eigen::Vector3d(a.sigma[0], a.sigma[1], a.sigma[2]).norm());
    }

    const Alignment alignment = align(estimated, told2, limit);
    result.pinned = alignment.pinned;
    for (int k = 0; k < AnchorCount; ++k) {
        AnchorEstimate &a = result.anchors[size_t(k)];
        Eigen::Vector2d at = estimated[size_t(k)];
        if (alignment.mirrored)
            at.y() = -at.y();
        if (alignment.pinned)
            at = alignment.rigid.apply(at);
        a.estimated = { at.x(), at.y(), layout.anchors[size_t(k)].z() };
        const double difference
            = Eigen::Vector3d(a.estimated[0] - a.configured[0], a.estimated[1] - a.configured[1],
                              a.estimated[2] - a.configured[2])
                  .norm();
        a.misplaced = alignment.pinned && a.separable && difference > limit[size_t(k)];
    }
    return result;
}

} // namespace calibration
