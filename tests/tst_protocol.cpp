#include "display/projection.h"
#include "kitframes.h"
#include "link/anchorconfig.h"
#include "link/framereader.h"
#include "link/positionreport.h"

#include <QRandomGenerator>
#include <QtTest>

using testsupport::frameWith;
using testsupport::workedFrame;

namespace {

QList<QByteArray> readAll(FrameReader &reader, const QList<QByteArray> &arrivals)
{
    QList<QByteArray> frames;
    for (const QByteArray &arrival : arrivals) {
        reader.append(arrival);
        while (const char *frame = reader.nextFrame())
            frames << QByteArray(frame, ReportFrame::Size);
        if (reader.pendingSize() > FrameReader::MaxPending)
            return { QByteArray("pending bound broken") };
    }
    return frames;
}

} // namespace

class ProtocolTest : public QObject
{
    Q_OBJECT

private slots:
    void decodesWorkedFrame();
    void heightDiffRoundsToCentimetre_data();
    void heightDiffRoundsToCentimetre();
    void signedCoordinatesUnsignedRanges();
    void shortAndLongInputs_data();
    void shortAndLongInputs();
    void skippedBytesChangeNothing();
    void decodesTheKitsFrame();

    void frameReader_data();
    void frameReader();
    void everySplitOffset();
    void junkStaysBounded();
    void pendingDroppedOnClear();

    void projection_data();
    void projection();

    void anchorCommand_data();
    void anchorCommand();
};

void ProtocolTest::decodesWorkedFrame()
{
    PositionReport r;
    decodePositionReport(workedFrame(), r);
    QCOMPARE(r.tagId, 5);
    QCOMPARE(r.tagX, 1.0f);
    QCOMPARE(r.tagY, 2.0f);
    QCOMPARE(r.tagZ, 1.2f);
    const float xs[] = { 0, 5, 5, 0 };
    const float ys[] = { 0, 0, 5, 5 };
    const int ranges[] = { 300, 250, 400, 200 };
    for (int k = 0; k < 4; ++k) {
        QCOMPARE(r.anchorId[k], k);
        QCOMPARE(r.range[k], ranges[k]);
        QCOMPARE(r.anchorX[k], xs[k]);
        QCOMPARE(r.anchorY[k], ys[k]);
        QCOMPARE(r.anchorZ[k], 2.5f);
        QCOMPARE(r.heightDiff[k], 130);
    }
}

void ProtocolTest::heightDiffRoundsToCentimetre_data()
{
    QTest::addColumn<int>("anchorZ");
    QTest::addColumn<int>("tagZ");
    QTest::addColumn<int>("expected");
    QTest::newRow("250 over 120") << 250 << 120 << 130;
    QTest::newRow("120 over 250") << 120 << 250 << -130;
    QTest::newRow("300 over 0") << 300 << 0 << 300;
    QTest::newRow("100 over 50") << 100 << 50 << 50;
    QTest::newRow("113 over -35") << 113 << -35 << 148;
    QTest::newRow("extremes") << 32767 << -32768 << 65535;
}

void ProtocolTest::heightDiffRoundsToCentimetre()
{
    QFETCH(int, anchorZ);
    QFETCH(int, tagZ);
    QFETCH(int, expected);
    ReportFields fields;
    fields.tagZ = tagZ;
    for (int &z : fields.anchorZ)
        z = anchorZ;
    PositionReport r;
    decodePositionReport(encodePositionReport(fields), r);
    for (int k = 0; k < 4; ++k)
        QCOMPARE(r.heightDiff[k], expected);
}

void ProtocolTest::signedCoordinatesUnsignedRanges()
{
    QByteArray frame = workedFrame();
    frame[3] = char(0xFF);
    frame[4] = char(0x9C);
    frame[10] = char(0xFF);
    frame[11] = char(0xFF);
    frame[22] = char(0x80);
    frame[23] = char(0x00);
    PositionReport r;
    decodePositionReport(frame, r);
    QCOMPARE(r.tagX, -1.0f);
    QCOMPARE(r.range[0], 65535);
    QCOMPARE(r.anchorX[0], -327.68f);
}

void ProtocolTest::shortAndLongInputs_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("tagId");
    QTest::addColumn<float>("tagX");
    QTest::addColumn<int>("anchorId0");
    QTest::addColumn<int>("range0");

    // Missing bytes read as 0, so every member of an earlier report is overwritten.
    QTest::newRow("end marker alone") << 2 << 0 << 0.0f << 0 << 0;
    QTest::newRow("4 bytes") << 4 << 5 << 0.0f << 0 << 0;
    QTest::newRow("11 bytes: high range byte only") << 11 << 5 << 1.0f << 0 << 256;
    QTest::newRow("12 bytes: slot 0 complete") << 12 << 5 << 1.0f << 0 << 300;
    QTest::newRow("longer than a frame") << 80 << 5 << 1.0f << 0 << 300;
}

void ProtocolTest::shortAndLongInputs()
{
    QFETCH(int, length);
    QFETCH(int, tagId);
    QFETCH(float, tagX);
    QFETCH(int, anchorId0);
    QFETCH(int, range0);

    QByteArray input = workedFrame();
    input[2] = char(5);
    input[9] = char(0); // slot 0's identifier, to tell it from the start value
    input = length <= 52 ? input.left(length) : input + QByteArray(length - 52, char(0x55));

    PositionReport r;
    r.anchorId[1] = 99;
    r.range[3] = 99;
    r.anchorZ[3] = 9.9f;
    decodePositionReport(input, r);
    QCOMPARE(r.tagId, tagId);
    QCOMPARE(r.tagX, tagX);
    QCOMPARE(r.anchorId[0], anchorId0);
    QCOMPARE(r.range[0], range0);
    if (length < 52) {
        QCOMPARE(r.anchorId[1], 0);
        QCOMPARE(r.range[3], 0);
        QCOMPARE(r.anchorZ[3], 0.0f);
    } else {
        PositionReport whole;
        decodePositionReport(workedFrame(), whole);
        QCOMPARE(r.anchorZ[3], whole.anchorZ[3]);
        QCOMPARE(r.heightDiff[3], whole.heightDiff[3]);
    }
}

void ProtocolTest::skippedBytesChangeNothing()
{
    PositionReport plain;
    decodePositionReport(workedFrame(), plain);
    QByteArray frame = workedFrame();
    for (int i : { 21, 28, 35, 42, 49 })
        frame[i] = char(0xA5);
    PositionReport r;
    decodePositionReport(frame, r);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(&r), sizeof r),
             QByteArray(reinterpret_cast<const char *>(&plain), sizeof plain));
}

void ProtocolTest::decodesTheKitsFrame()
{
    ReportFields fields;
    fields.tagId = 200;
    fields.tagX = -32768;
    fields.tagY = 32767;
    fields.tagZ = -1;
    for (int k = 0; k < 4; ++k) {
        fields.anchorId[k] = 250 + k;
        fields.range[k] = 65535 - k;
        fields.anchorX[k] = -113 * (k + 1);
        fields.anchorY[k] = 57 * (k + 1);
        fields.anchorZ[k] = 123;
    }
    const QByteArray frame = encodePositionReport(fields);
    QCOMPARE(frame.size(), 52);
    PositionReport r;
    decodePositionReport(frame, r);
    QCOMPARE(r.tagId, 200);
    QCOMPARE(centimetres(r.tagX), -32768);
    QCOMPARE(centimetres(r.tagY), 32767);
    for (int k = 0; k < 4; ++k) {
        QCOMPARE(r.anchorId[k], 250 + k);
        QCOMPARE(r.range[k], 65535 - k);
        QCOMPARE(centimetres(r.anchorX[k]), -113 * (k + 1));
        QCOMPARE(centimetres(r.anchorY[k]), 57 * (k + 1));
    }
}

void ProtocolTest::frameReader_data()
{
    QTest::addColumn<QList<QByteArray>>("arrivals");
    QTest::addColumn<QList<QByteArray>>("expected");

    const QByteArray a = frameWith(1, 100, 200);
    const QByteArray b = frameWith(2, -50, 75);
    QByteArray falseStart = QByteArray("78") + QByteArray(48, 'x') + "'(";
    QByteArray endMarkerInside = frameWith(3, 0x2728, 0x2728);
    QVERIFY(endMarkerInside.indexOf("'(") < 50);

    QTest::newRow("one frame") << QList<QByteArray> { a } << QList<QByteArray> { a };
    QTest::newRow("51 bytes never decode")
        << QList<QByteArray> { a.left(51) } << QList<QByteArray> {};
    QTest::newRow("two frames in one arrival")
        << QList<QByteArray> { a + b } << QList<QByteArray> { a, b };
    QTest::newRow("garbage around frames") << QList<QByteArray> { "\x01\x02"
                                                                  "8'(7"
                                                                  + a + "junk7" + b + "7x8" }
                                           << QList<QByteArray> { a, b };
    QTest::newRow("end marker inside data")
        << QList<QByteArray> { endMarkerInside + a } << QList<QByteArray> { endMarkerInside, a };
    QTest::newRow("false start is taken as a frame")
        << QList<QByteArray> { falseStart + a } << QList<QByteArray> { falseStart, a };
    // A start byte followed by a broken marker must not be read as the marker ('7' 'x' '8').
    QTest::newRow("broken start marker")
        << QList<QByteArray> { "7x" + a.mid(1) + a } << QList<QByteArray> { a };
    QTest::newRow("mid-frame start")
        << QList<QByteArray> { a.mid(30) + b } << QList<QByteArray> { b };
    QTest::newRow("tail carried over")
        << QList<QByteArray> { a + b.left(1), b.mid(1, 40), b.mid(41) + a }
        << QList<QByteArray> { a, b, a };
    QTest::newRow("one byte at a time") << [&] {
        QList<QByteArray> bytes;
        for (char c : a + b)
            bytes << QByteArray(1, c);
        return bytes;
    }() << QList<QByteArray> { a, b };
}

void ProtocolTest::frameReader()
{
    QFETCH(QList<QByteArray>, arrivals);
    QFETCH(QList<QByteArray>, expected);
    FrameReader reader;
    QCOMPARE(readAll(reader, arrivals), expected);
}

void ProtocolTest::everySplitOffset()
{
    const QByteArray a = frameWith(7, 1, 2);
    const QByteArray b = frameWith(8, 3, 4);
    const QByteArray stream = "zz" + a + b;
    for (int cut = 0; cut <= stream.size(); ++cut) {
        FrameReader reader;
        const auto frames = readAll(reader, { stream.left(cut), stream.mid(cut) });
        QVERIFY2(frames == (QList<QByteArray> { a, b }), qPrintable(QString::number(cut)));
    }
}

void ProtocolTest::junkStaysBounded()
{
    FrameReader reader;
    QRandomGenerator random(42);
    const QByteArray frame = frameWith(4, 10, 20);
    int found = 0;
    for (int round = 0; round < 200; ++round) {
        QByteArray junk(int(random.bounded(1, 4000)), '\0');
        for (char &c : junk)
            c = char(random.bounded(256));
        // Junk full of start bytes is the worst case for the bound.
        junk.replace('\x00', "78");
        reader.append(junk);
        while (reader.nextFrame())
            ++found;
        QVERIFY(reader.pendingSize() <= FrameReader::MaxPending);
        reader.append(frame);
        while (const char *f = reader.nextFrame())
            found += QByteArray(f, 52) == frame ? 1 : 0;
        QVERIFY(reader.pendingSize() <= FrameReader::MaxPending);
    }
    QVERIFY(found >= 200);
}

void ProtocolTest::pendingDroppedOnClear()
{
    const QByteArray a = frameWith(1, 1, 1);
    FrameReader reader;
    reader.append(a.left(30));
    QVERIFY(!reader.nextFrame());
    QCOMPARE(reader.pendingSize(), 30);
    reader.clear();
    QCOMPARE(readAll(reader, { a.mid(30) + a }), QList<QByteArray> { a });
}

void ProtocolTest::projection_data()
{
    QTest::addColumn<int>("range");
    QTest::addColumn<int>("heightDiff");
    QTest::addColumn<int>("expected");
    QTest::newRow("500, 300") << 500 << 300 << 400;
    QTest::newRow("500, -300") << 500 << -300 << 400;
    QTest::newRow("500, 400") << 500 << 400 << 300;
    QTest::newRow("10, 3 truncates") << 10 << 3 << 9;
    QTest::newRow("height beyond range") << 100 << 150 << 0;
    QTest::newRow("height equals range") << 100 << -100 << 0;
    QTest::newRow("0, 0") << 0 << 0 << 0;
    QTest::newRow("250, 0") << 250 << 0 << 250;
    QTest::newRow("65535, 0 does not wrap") << 65535 << 0 << 65535;
    QTest::newRow("46341, 0 does not wrap") << 46341 << 0 << 46341;
    QTest::newRow("46341, 100") << 46341 << 100 << 46340;
    QTest::newRow("65535, 65534") << 65535 << 65534 << 362;
}

void ProtocolTest::projection()
{
    QFETCH(int, range);
    QFETCH(int, heightDiff);
    QFETCH(int, expected);
    QCOMPARE(projectHorizontalRange(range, heightDiff), expected);
}

void ProtocolTest::anchorCommand_data()
{
    QTest::addColumn<QStringList>("cells"); // X, Y and Z of each of four anchors, rows 0 to 3
    QTest::addColumn<QString>("tagId");
    QTest::addColumn<QString>("command"); // empty when refused
    QTest::addColumn<QString>("refusal");

    const QStringList good { "0",   "0",   "250", "500", "0",   "250",
                             "500", "500", "250", "0",   "500", "250" };
    const auto with = [&](int cell, const QString &value) {
        QStringList cells = good;
        cells[cell] = value;
        return cells;
    };
    const QString worked = "93 83 00 01 02 03 00 00 00 00 00 FA 01 F4 00 00 00 FA 01 F4 01 F4 00 "
                           "FA 00 00 01 F4 00 FA 05 85 95";
    const QString range = "must be a number from -32768 to 32767";
    const QString tagRule = "TagID must be a whole number from 0 to 255";

    QTest::newRow("worked command") << good << "5" << worked << "";
    QTest::newRow("fractions are cut toward zero")
        << with(1, "-12.9") << "5" << QString(worked).replace(24, 5, "FF F4") << "";
    QTest::newRow("the ends of the range")
        << with(0, "-32768.9") << "255"
        << QString(worked).replace(18, 5, "80 00").replace(90, 2, "FF") << "";
    QTest::newRow("just past the top")
        << with(0, "32767.5") << "5" << QString(worked).replace(18, 5, "7F FF") << "";
    QTest::newRow("not a number") << with(10, "abc") << "5"
                                  << ""
                                  << "anchor3 Y(cm) " + range;
    QTest::newRow("empty cell") << with(0, "") << "5"
                                << ""
                                << "anchor0 X(cm) " + range;
    QTest::newRow("40000 cm") << with(8, "40000") << "5"
                              << ""
                              << "anchor2 Z(cm) " + range;
    QTest::newRow("-32769 cm") << with(3, "-32769") << "5"
                               << ""
                               << "anchor1 X(cm) " + range;
    QTest::newRow("tag 300") << good << "300"
                             << "" << tagRule;
    QTest::newRow("tag -1") << good << "-1"
                            << "" << tagRule;
    QTest::newRow("tag 1.5") << good << "1.5"
                             << "" << tagRule;
}

void ProtocolTest::anchorCommand()
{
    QFETCH(QStringList, cells);
    QFETCH(QString, tagId);
    QFETCH(QString, command);
    QFETCH(QString, refusal);

    std::array<AnchorConfigCommand::Anchor, AnchorConfigCommand::AnchorCount> anchors;
    for (int k = 0; k < AnchorConfigCommand::AnchorCount; ++k)
        anchors[size_t(k)] = { k, { cells[3 * k], cells[3 * k + 1], cells[3 * k + 2] } };
    const auto result = AnchorConfigCommand::build(anchors, tagId);
    QCOMPARE(QString::fromLatin1(result.command.toHex(' ').toUpper()), command);
    QCOMPARE(result.refusal, refusal);
}

QTEST_GUILESS_MAIN(ProtocolTest)
#include "tst_protocol.moc"
