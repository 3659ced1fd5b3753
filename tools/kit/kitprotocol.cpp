#include "kitprotocol.h"

#include <QStringList>

namespace kit {

namespace {

void append16(QByteArray &out, int value)
{
    out.append(char((value >> 8) & 0xFF));
    out.append(char(value & 0xFF));
}

int read16(const QByteArray &in, int at)
{
    return qint16(quint16(uchar(in.at(at)) << 8 | uchar(in.at(at + 1))));
}

} // namespace

QByteArray encodeReport(const Scene &scene)
{
    QByteArray out;
    out.reserve(52);
    out.append("78");
    out.append(char(scene.tagId));
    append16(out, scene.tagX);
    append16(out, scene.tagY);
    append16(out, scene.tagZ);
    for (int k = 0; k < 4; ++k) {
        out.append(char(scene.anchors[size_t(k)].id));
        append16(out, qBound(0, scene.ranges[size_t(k)], 0xFFFF));
    }
    for (const Anchor &anchor : scene.anchors) {
        out.append(char(0)); // a byte the viewer does not interpret
        append16(out, anchor.x);
        append16(out, anchor.y);
        append16(out, anchor.z);
    }
    out.append(char(0));
    out.append("'(");
    return out;
}

bool CommandReader::next(Command &command, int &skipped)
{
    skipped = 0;
    for (;;) {
        const int start = m_buffer.indexOf(char(0x93));
        if (start < 0) {
            skipped += m_buffer.size();
            m_buffer.clear();
            return false;
        }
        skipped += start;
        m_buffer.remove(0, start);
        const bool head = m_buffer.size() < 2 || uchar(m_buffer.at(1)) == 0x83;
        if (head && m_buffer.size() < CommandSize)
            return false;
        if (head && uchar(m_buffer.at(31)) == 0x85 && uchar(m_buffer.at(32)) == 0x95) {
            for (int i = 0; i < 4; ++i) {
                Anchor &anchor = command.anchors[size_t(i)];
                anchor.id = uchar(m_buffer.at(2 + i));
                anchor.x = read16(m_buffer, 6 + 6 * i);
                anchor.y = read16(m_buffer, 8 + 6 * i);
                anchor.z = read16(m_buffer, 10 + 6 * i);
            }
            command.tagId = uchar(m_buffer.at(30));
            m_buffer.remove(0, CommandSize);
            return true;
        }
        m_buffer.remove(0, 1);
        ++skipped;
    }
}

QString describe(const Command &command)
{
    QStringList parts;
    for (const Anchor &a : command.anchors)
        parts
            << QStringLiteral("anchor %1 at (%2, %3, %4) cm").arg(a.id).arg(a.x).arg(a.y).arg(a.z);
    return parts.join(QStringLiteral("; ")) + QStringLiteral("; tag %1").arg(command.tagId);
}

void takeCommands(CommandReader &reader, const QByteArray &bytes, const QString &link,
                  const std::function<void(const QString &)> &say,
                  const std::function<void(const Command &)> &apply)
{
    reader.append(bytes);
    Command command;
    int skipped = 0;
    for (;;) {
        const bool complete = reader.next(command, skipped);
        if (skipped > 0)
            say(QStringLiteral("%1: skipped %2 bytes that do not form a command")
                    .arg(link)
                    .arg(skipped));
        if (!complete)
            return;
        apply(command);
        say(QStringLiteral("%1: config: %2").arg(link, describe(command)));
    }
}

} // namespace kit
