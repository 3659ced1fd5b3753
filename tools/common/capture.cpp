#include "capture.h"

#include "toolsupport.h"

#include <QtEndian>

#include <cstring>
#include <unistd.h>

namespace capture {

bool Writer::open(const QString &path, bool overwrite, qint64 startUnixMicros, QString *error)
{
    if (!tools::createFile(m_file, path, overwrite, error))
        return false;
    char header[HeaderSize] = {};
    std::memcpy(header, Magic, sizeof Magic);
    qToLittleEndian<quint16>(Version, header + 8);
    qToLittleEndian<qint64>(startUnixMicros, header + 12);
    m_file.write(header, HeaderSize);
    return true;
}

void Writer::write(qint64 micros, Direction direction, const QByteArray &bytes)
{
    char head[RecordHeaderSize];
    qToLittleEndian<qint64>(micros, head);
    head[8] = char(direction);
    qToLittleEndian<quint32>(quint32(bytes.size()), head + 9);
    m_file.write(head, RecordHeaderSize);
    m_file.write(bytes);
}

void Writer::sync()
{
    if (!m_file.isOpen())
        return;
    m_file.flush();
    ::fdatasync(m_file.handle());
}

void Writer::close()
{
    sync();
    m_file.close();
}

bool Reader::open(const QString &path, QString *error)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, m_file.errorString());
        return false;
    }
    const QByteArray header = m_file.read(HeaderSize);
    if (header.size() < int(sizeof Magic) || std::memcmp(header.constData(), Magic, sizeof Magic)) {
        *error = QStringLiteral("%1 is not a zorvan-tap capture").arg(path);
        return false;
    }
    if (header.size() < HeaderSize) {
        *error = QStringLiteral("%1: header cut short at offset %2").arg(path).arg(header.size());
        return false;
    }
    const quint16 version = qFromLittleEndian<quint16>(header.constData() + 8);
    if (version != Version) {
        *error = QStringLiteral("%1: capture version %2; this program reads version %3")
                     .arg(path)
                     .arg(version)
                     .arg(Version);
        return false;
    }
    m_start = qFromLittleEndian<qint64>(header.constData() + 12);
    m_offset = HeaderSize;
    return true;
}

bool Reader::next(Record &record)
{
    if (!m_damage.isEmpty())
        return false;
    const QByteArray head = m_file.read(RecordHeaderSize);
    if (head.isEmpty())
        return false;
    if (head.size() < RecordHeaderSize) {
        m_damage = QStringLiteral("record header cut short at offset %1").arg(m_offset);
        return false;
    }
    const quint8 direction = quint8(head.at(8));
    const quint32 size = qFromLittleEndian<quint32>(head.constData() + 9);
    const qint64 micros = qFromLittleEndian<qint64>(head.constData());
    if (direction > quint8(Direction::KitBack) || size > MaxChunk || micros < 0) {
        m_damage = QStringLiteral("corrupt record at offset %1").arg(m_offset);
        return false;
    }
    record.bytes = m_file.read(size);
    if (record.bytes.size() < int(size)) {
        m_damage = QStringLiteral("record at offset %1 cut short: %2 of %3 bytes")
                       .arg(m_offset)
                       .arg(record.bytes.size())
                       .arg(size);
        return false;
    }
    record.micros = micros;
    record.direction = Direction(direction);
    m_offset += RecordHeaderSize + size;
    return true;
}

} // namespace capture
