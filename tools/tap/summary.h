#ifndef SUMMARY_H
#define SUMMARY_H

#include <QString>

class QTextStream;

struct SummaryOptions
{
    QString capture;
    QString csv; // also write the frames here, when set
    bool force = false;
    int maxResidual = 10;
};

// Reads a capture up to its end or its first damage and prints what it holds. Returns the
// exit status: 0, 1 when the capture is damaged (what came before is still summarised), 2
// when it cannot be read at all.
int summarize(const SummaryOptions &options, QTextStream &out, QTextStream &err);

#endif // SUMMARY_H
