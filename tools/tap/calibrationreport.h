#ifndef CALIBRATIONREPORT_H
#define CALIBRATIONREPORT_H

#include <QString>

class QTextStream;

struct CalibrationOptions
{
    QString capture;
    bool freeHeights = false;
    bool json = false;
    int tag = -1; // every tag when negative
};

// Estimates where the anchors stand from a capture and prints it for a person or, with
// `json`, as one object. Returns the exit status: 0, 1 when the capture is damaged (what came
// before is used), 2 when it cannot be read, 3 when it cannot fix the layout.
int calibrateCapture(const CalibrationOptions &options, QTextStream &out, QTextStream &err);

#endif // CALIBRATIONREPORT_H
