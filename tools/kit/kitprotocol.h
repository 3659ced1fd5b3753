#ifndef KITPROTOCOL_H
#define KITPROTOCOL_H

#include <QByteArray>
#include <QString>

#include <array>
#include <functional>

// The kit's side of the protocol, written apart from the protocol library on purpose: the
// viewer's decoder and command builder are checked against this encoder and this command
// reader, so a misreading on either side shows instead of agreeing with itself.
namespace kit {

struct Anchor
{
    int id = 0;
    int x = 0, y = 0, z = 0; // cm
};

struct Scene
{
    std::array<Anchor, 4> anchors;
    int tagId = 0;
    int tagX = 0, tagY = 0, tagZ = 0; // cm
    std::array<int, 4> ranges = {}; // cm
};

// The 52-byte position report as the kit sends it.
QByteArray encodeReport(const Scene &scene);

constexpr int CommandSize = 33;

struct Command
{
    std::array<Anchor, 4> anchors;
    int tagId = 0;
};

// Finds configuration commands in the bytes a link receives, reporting what it skips.
class CommandReader
{
public:
    // Returns true and fills `command` once a whole command has been read; `skipped` counts
    // the bytes dropped because they could not begin one.
    bool next(Command &command, int &skipped);
    void append(const QByteArray &bytes) { m_buffer += bytes; }
    int pending() const { return m_buffer.size(); }

private:
    QByteArray m_buffer;
};

QString describe(const Command &command);

// Feeds what a link received to its reader and says, as the kit's log does, what was skipped
// and which commands came; `apply` takes each command.
void takeCommands(CommandReader &reader, const QByteArray &bytes, const QString &link,
                  const std::function<void(const QString &)> &say,
                  const std::function<void(const Command &)> &apply);

} // namespace kit

#endif // KITPROTOCOL_H
