#ifndef TAGPATH_H
#define TAGPATH_H

#include "kitprotocol.h"

#include <array>

namespace kit {

// Where the tag is at frame `index`, in cm: a smooth figure of eight around the middle of the
// anchors' rectangle, at a fixed height, once round every FramesPerLoop frames.
std::array<int, 3> tagPosition(qint64 index, const std::array<Anchor, 4> &anchors);

constexpr int FramesPerLoop = 100;

} // namespace kit

#endif // TAGPATH_H
