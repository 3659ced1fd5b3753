#ifndef REPORTJSON_H
#define REPORTJSON_H

#include "analysis.h"

#include <QByteArray>
#include <QDateTime>

// The one JSON shape of a report that the tap hands to other software, over MQTT and to the
// browser: metres, as the field's systems use, with the tag's position, each anchor with its
// range and residual, and the quality of the tap's own fit.
namespace reportjson {

// `seq` counts this tag's reports from 1; `time` is when the frame arrived.
QByteArray position(const StreamAnalysis::Frame &frame, qint64 seq, const QDateTime &time);

// The anchors as the frame reports them: [{"id", "x", "y", "z"}] in metres.
QByteArray anchors(const StreamAnalysis::Frame &frame);

// A configuration command relayed to the kit, with its one-line description.
QByteArray command(const AnchorConfigCommand::Decoded &command, const QDateTime &time);

} // namespace reportjson

#endif // REPORTJSON_H
