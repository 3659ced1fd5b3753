#ifndef CAPTURE_H
#define CAPTURE_H

#include <QByteArray>
#include <QFile>
#include <QString>

// The raw capture zorvan-tap records and zorvan-kit replays: a small header, then one record
// per arrival in either direction, in the order they arrived. docs/capture-format.md has the
// layout; everything is little-endian.
namespace capture {

constexpr char Magic[8] = { 'Z', 'V', 'C', 'A', 'P', 'T', 'U', 'R' };
constexpr quint16 Version = 1;
constexpr int HeaderSize = 20;
constexpr int RecordHeaderSize = 13;
// No arrival is this large; a length beyond it means the file is damaged.
constexpr quint32 MaxChunk = 16 * 1024 * 1024;

enum class Direction : quint8 {
    FromKit = 0, // bytes the kit sent
    ToKit = 1, // bytes a viewer sent towards the kit, as relayed
    KitLost = 2, // the kit link went down; the payload says why
    KitBack = 3, // the kit link is up again
};

struct Record
{
    qint64 micros = 0; // since the recording started
    Direction direction = Direction::FromKit;
    QByteArray bytes;
};

class Writer
{
public:
    // Refuses an existing file unless `overwrite`; `error` says why it failed.
    bool open(const QString &path, bool overwrite, qint64 startUnixMicros, QString *error);
    void write(qint64 micros, Direction direction, const QByteArray &bytes);
    // Hands what was written to the disk, so that a crash or power cut loses at most what
    // came since.
    void sync();
    void close();
    bool isOpen() const { return m_file.isOpen(); }

private:
    QFile m_file;
};

class Reader
{
public:
    // False, with `error`, unless the file starts with a capture header this reader knows.
    bool open(const QString &path, QString *error);
    // The next record; false at the end or at damage, which `damage()` then describes.
    bool next(Record &record);
    QString damage() const { return m_damage; }
    qint64 startUnixMicros() const { return m_start; }

private:
    QFile m_file;
    qint64 m_offset = 0;
    qint64 m_start = 0;
    QString m_damage;
};

} // namespace capture

#endif // CAPTURE_H
