#include "trilateration.h"

#include <Eigen/Cholesky>
#include <Eigen/LU>

#include <algorithm>
#include <cmath>
#include <limits>

namespace tools {

namespace {

// Damped Gauss-Newton steps on a 4 by 3 problem: a few suffice from a start on the right side.
constexpr int MaxIterations = 30;
constexpr double StepToleranceCm = 1e-4;
constexpr double StartBelowCm = 150;

using Jacobian = Eigen::Matrix<double, 4, 3>;
using Residuals = Eigen::Vector4d;

Residuals misfits(const Anchors &anchors, const Ranges &ranges, const Eigen::Vector3d &at,
                  Jacobian *jacobian)
{
    Residuals r;
    for (int k = 0; k < 4; ++k) {
        const Eigen::Vector3d d = at - anchors[size_t(k)];
        const double distance = d.norm();
        r(k) = distance - ranges[size_t(k)];
        if (jacobian) {
            if (distance > 0)
                jacobian->row(k) = (d / distance).transpose();
            else
                jacobian->row(k).setZero();
        }
    }
    return r;
}

} // namespace

Eigen::Vector3d startBelow(const Anchors &anchors)
{
    Eigen::Vector3d centre = Eigen::Vector3d::Zero();
    for (const Eigen::Vector3d &a : anchors)
        centre += a / 4;
    centre.z() -= StartBelowCm;
    return centre;
}

namespace {

// Levenberg-Marquardt over the first `Dims` coordinates of the position.
template<int Dims>
Fix solve(const Anchors &anchors, const Ranges &ranges, const Eigen::Vector3d &start)
{
    using Step = Eigen::Matrix<double, Dims, 1>;
    using Normal = Eigen::Matrix<double, Dims, Dims>;
    Eigen::Vector3d x = start;
    Jacobian J;
    Residuals r = misfits(anchors, ranges, x, &J);
    double cost = r.squaredNorm();
    double lambda = 1e-3;
    for (int i = 0; i < MaxIterations; ++i) {
        const auto Jd = J.leftCols<Dims>();
        Normal damped = Jd.transpose() * Jd;
        damped.diagonal() *= 1 + lambda;
        Eigen::Vector3d step = Eigen::Vector3d::Zero();
        step.head<Dims>() = damped.ldlt().solve(Step(-(Jd.transpose() * r)));
        Jacobian nextJ;
        const Residuals next = misfits(anchors, ranges, x + step, &nextJ);
        if (next.squaredNorm() <= cost) {
            x += step;
            r = next;
            J = nextJ;
            cost = r.squaredNorm();
            lambda = std::max(lambda / 10, 1e-9);
            if (step.norm() < StepToleranceCm)
                break;
        } else {
            lambda *= 10;
            if (lambda > 1e9)
                break;
        }
    }
    Fix fix;
    fix.position = x;
    fix.rms = std::sqrt(cost / 4);
    Eigen::FullPivLU<Eigen::Matrix3d> lu(J.transpose() * J);
    fix.gdop = lu.isInvertible() ? std::sqrt(lu.inverse().trace())
                                 : std::numeric_limits<double>::infinity();
    return fix;
}

} // namespace

Fix trilaterate(const Anchors &anchors, const Ranges &ranges, const Eigen::Vector3d &start)
{
    return solve<3>(anchors, ranges, start);
}

Fix trilaterateAtHeight(const Anchors &anchors, const Ranges &ranges, const Eigen::Vector3d &start)
{
    return solve<2>(anchors, ranges, start);
}

} // namespace tools
