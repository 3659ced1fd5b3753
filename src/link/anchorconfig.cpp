#include "link/anchorconfig.h"

#include <QStringList>

#include <cmath>

namespace AnchorConfigCommand {

namespace {

constexpr uchar Head0 = 0x93;
constexpr uchar Head1 = 0x83;
constexpr uchar Tail0 = 0x85;
constexpr uchar Tail1 = 0x95;
constexpr int CoordinatesOffset = 6;
constexpr int TagIdOffset = 30;

const char *const columnNames[3] = { "X(cm)", "Y(cm)", "Z(cm)" };

// Fractions are cut toward zero; anything that would not fit a signed 16-bit field is refused.
bool toCoordinate(const QString &text, int &value)
{
    bool ok = false;
    const double number = std::trunc(double(text.toFloat(&ok)));
    if (!ok || !(number >= -32768.0 && number <= 32767.0))
        return false;
    value = int(number);
    return true;
}

} // namespace

Result build(const std::array<Anchor, AnchorCount> &anchors, const QString &tagIdText)
{
    QByteArray command(Size, '\0');
    command[0] = char(Head0);
    command[1] = char(Head1);
    int offset = CoordinatesOffset;
    for (int i = 0; i < AnchorCount; ++i) {
        const Anchor &anchor = anchors[size_t(i)];
        command[2 + i] = char(anchor.row);
        for (int axis = 0; axis < 3; ++axis) {
            int value = 0;
            if (!toCoordinate(anchor.coordinates[size_t(axis)], value)) {
                return { {},
                         QStringLiteral("anchor%1 %2 must be a number from -32768 to 32767")
                             .arg(anchor.row)
                             .arg(QLatin1String(columnNames[axis])) };
            }
            command[offset++] = char((value >> 8) & 0xFF);
            command[offset++] = char(value & 0xFF);
        }
    }

    bool ok = false;
    const int tagId = tagIdText.toInt(&ok, 10);
    if (!ok || tagId < 0 || tagId > 255)
        return { {}, QStringLiteral("TagID must be a whole number from 0 to 255") };
    command[TagIdOffset] = char(tagId);
    command[31] = char(Tail0);
    command[32] = char(Tail1);
    return { command, {} };
}

bool decode(const char *data, qsizetype size, Decoded &decoded)
{
    const auto *bytes = reinterpret_cast<const uchar *>(data);
    if (size < Size || bytes[0] != Head0 || bytes[1] != Head1 || bytes[31] != Tail0
        || bytes[32] != Tail1)
        return false;
    for (int i = 0; i < AnchorCount; ++i) {
        decoded.rows[size_t(i)] = bytes[2 + i];
        for (int axis = 0; axis < 3; ++axis) {
            const int at = CoordinatesOffset + 6 * i + 2 * axis;
            decoded.centimetres[size_t(i)][size_t(axis)] = qint16(bytes[at] << 8 | bytes[at + 1]);
        }
    }
    decoded.tagId = bytes[TagIdOffset];
    return true;
}

QString describe(const Decoded &command)
{
    QStringList parts;
    for (int k = 0; k < AnchorCount; ++k) {
        const auto &cm = command.centimetres[size_t(k)];
        parts << QStringLiteral("anchor %1 at (%2, %3, %4) cm")
                     .arg(command.rows[size_t(k)])
                     .arg(cm[0])
                     .arg(cm[1])
                     .arg(cm[2]);
    }
    return parts.join(QStringLiteral("; ")) + QStringLiteral("; tag %1").arg(command.tagId);
}

bool Reader::next(Decoded &command)
{
    for (;;) {
        const int start = m_buffer.indexOf(char(Head0));
        if (start < 0) {
            m_buffer.clear();
            return false;
        }
        m_buffer.remove(0, start);
        if (m_buffer.size() < Size)
            return false;
        if (decode(m_buffer.constData(), m_buffer.size(), command)) {
            m_buffer.remove(0, Size);
            return true;
        }
        m_buffer.remove(0, 1);
    }
}

} // namespace AnchorConfigCommand
