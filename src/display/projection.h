#ifndef PROJECTION_H
#define PROJECTION_H

// The measured range seen from above: sqrt(range² - heightDiff²), truncated, never negative.
// 64-bit products keep ranges above 463.40 m exact.
int projectHorizontalRange(int range, int heightDiff);

#endif // PROJECTION_H
