#ifndef TRILATERATION_H
#define TRILATERATION_H

#include <Eigen/Core>

#include <array>

namespace tools {

using Anchors = std::array<Eigen::Vector3d, 4>;
using Ranges = std::array<double, 4>;

// A position solved from ranges, with how well the ranges agree with it and how well the
// anchors' geometry pins it down. All lengths in cm.
struct Fix
{
    Eigen::Vector3d position = Eigen::Vector3d::Zero();
    // The root mean square of the four ranges' misfits at the position.
    double rms = 0;
    // Geometric dilution of precision: how much range noise grows into position noise.
    double gdop = 0;
};

// The position whose distances to `anchors` best match `ranges`, by Levenberg-Marquardt from
// `start`. Four ranges and three unknowns leave one equation to spare: the misfit shows that
// something is wrong, never what.
Fix trilaterate(const Anchors &anchors, const Ranges &ranges, const Eigen::Vector3d &start);

// The same with the tag's height known: only its x and y are solved, from `start`'s.
Fix trilaterateAtHeight(const Anchors &anchors, const Ranges &ranges, const Eigen::Vector3d &start);

// Where a tag is to be looked for: below the middle of the anchors, which hang above it.
// Ranges alone cannot tell the tag from its mirror image above them.
Eigen::Vector3d startBelow(const Anchors &anchors);

} // namespace tools

#endif // TRILATERATION_H
