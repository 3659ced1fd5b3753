#ifndef CALIBRATION_H
#define CALIBRATION_H

#include <QList>
#include <QString>

#include <array>

// Where the anchors really stand, estimated from the ranges of many frames without trusting
// the coordinates the frames carry. All lengths in cm.
namespace calibration {

constexpr int AnchorCount = 4;

struct Observation
{
    // Which of the capture's tags, counted from 0: each is taken to stay at a height of its own.
    int tag = 0;
    std::array<double, AnchorCount> ranges = {};
    // Where the tap's own fit put the tag from the configured layout: for spreading the frames
    // over the area, and as the first guess.
    std::array<double, 3> fit = {};
};

struct Options
{
    bool freeHeights = false;
};

struct AnchorEstimate
{
    int id = 0;
    std::array<double, 3> configured = {};
    std::array<double, 3> estimated = {};
    std::array<double, 3> sigma = {};
    double offset = 0; // added to every range of this anchor
    double offsetSigma = 0;
    // A constant offset and a move of this anchor look alike in this capture.
    bool separable = true;
    bool misplaced = false;
};

struct Result
{
    // Empty on success; otherwise why the capture cannot fix the layout.
    QString error;
    std::array<AnchorEstimate, AnchorCount> anchors;
    // The estimate agrees with the configured layout in at least three anchors, so it is given
    // in the configured frame. Otherwise anchor 0 is at the origin and anchor 1 on +x.
    bool pinned = true;
    double rms = 0;
    int framesUsed = 0;
    int framesRead = 0;
    // How far the tag's positions spread about their middle, along their widest and their
    // narrowest direction (1 sigma).
    double spreadMajor = 0;
    double spreadMinor = 0;
    // Each tag's height as the ranges put it, in the order of Observation::tag.
    QList<double> tagHeights;
};

// `configured` gives each anchor's identifier and configured place, as the frames carry them.
Result calibrate(const QList<Observation> &observations,
                 const std::array<std::pair<int, std::array<double, 3>>, AnchorCount> &configured,
                 const Options &options);

} // namespace calibration

#endif // CALIBRATION_H
