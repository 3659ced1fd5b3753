#ifndef TAGPATH_H
#define TAGPATH_H

#include "kitprotocol.h"

#include <array>

namespace kit {

enum class Path {
    Eight, // a smooth figure of eight around the middle of the anchors
    Walk, // back and forth over the whole area between them, as a person carrying the tag
};

// Where tag number `tag` truly is at its `step`-th report, in cm, among `anchors` as they
// stand. Each tag keeps its own place on the path.
std::array<int, 3> tagPosition(qint64 step, int tag, const std::array<Anchor, 4> &anchors,
                               Path path, int height);

} // namespace kit

#endif // TAGPATH_H
