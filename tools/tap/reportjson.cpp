#include "reportjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

namespace reportjson {

namespace {

// Centimetres as metres, without the binary noise of dividing by 100.
double metres(double cm)
{
    return std::round(cm * 100) / 10000;
}

QString iso(const QDateTime &time)
{
    return time.toUTC().toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}

QJsonArray anchorArray(const StreamAnalysis::Frame &frame, bool withRanges)
{
    QJsonArray list;
    for (size_t k = 0; k < size_t(StreamAnalysis::AnchorCount); ++k) {
        QJsonObject anchor { { "id", frame.anchorId[k] },
                             { "x", metres(frame.anchor[k][0]) },
                             { "y", metres(frame.anchor[k][1]) },
                             { "z", metres(frame.anchor[k][2]) } };
        if (withRanges) {
            anchor.insert(QStringLiteral("range"), metres(frame.range[k]));
            anchor.insert(QStringLiteral("residual"), metres(frame.residual[k]));
        }
        list << anchor;
    }
    return list;
}

} // namespace

QByteArray position(const StreamAnalysis::Frame &frame, qint64 seq, const QDateTime &time)
{
    const QJsonObject object {
        { "time", iso(time) },
        { "seq", seq },
        { "tag", frame.tagId },
        { "x", metres(frame.tag[0]) },
        { "y", metres(frame.tag[1]) },
        { "z", metres(frame.tag[2]) },
        { "anchors", anchorArray(frame, true) },
        { "quality",
          QJsonObject { { "rms", metres(frame.rms) },
                        { "gdop", std::round(frame.gdop * 100) / 100 } } },
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray anchors(const StreamAnalysis::Frame &frame)
{
    return QJsonDocument(anchorArray(frame, false)).toJson(QJsonDocument::Compact);
}

QByteArray command(const AnchorConfigCommand::Decoded &command, const QDateTime &time)
{
    QJsonArray list;
    for (size_t k = 0; k < size_t(AnchorConfigCommand::AnchorCount); ++k) {
        const auto &cm = command.centimetres[k];
        list << QJsonObject { { "id", command.rows[k] },
                              { "x", metres(cm[0]) },
                              { "y", metres(cm[1]) },
                              { "z", metres(cm[2]) } };
    }
    const QJsonObject object { { "time", iso(time) },
                               { "tag", command.tagId },
                               { "anchors", list },
                               { "text", AnchorConfigCommand::describe(command) } };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace reportjson
