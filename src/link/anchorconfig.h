#ifndef ANCHORCONFIG_H
#define ANCHORCONFIG_H

#include <QByteArray>
#include <QString>

#include <array>

// The command that tells the kit where four anchors stand and which tag to follow.
namespace AnchorConfigCommand {

constexpr int Size = 33;
constexpr int AnchorCount = 4;

// One ticked row of the settings table: its number and the texts of its X, Y and Z cells.
struct Anchor
{
    int row = 0;
    std::array<QString, 3> coordinates;
};

struct Result
{
    QByteArray command; // empty when refused
    QString refusal; // names the offending field
};

// Builds the command, or refuses when a value would not reach the kit as typed.
Result build(const std::array<Anchor, AnchorCount> &anchors, const QString &tagIdText);

// What a command carries, for the other end of the link.
struct Decoded
{
    std::array<int, AnchorCount> rows = {};
    std::array<std::array<int, 3>, AnchorCount> centimetres = {};
    int tagId = 0;
};

// Reads a command starting at `data`; false unless it is a complete, well-framed one.
bool decode(const char *data, qsizetype size, Decoded &decoded);

// One line for a person: "anchor 0 at (0, 0, 250) cm; ...; tag 5".
QString describe(const Decoded &command);

// Finds commands in the bytes going to the kit. A byte that cannot begin one is dropped and the
// search goes on from the next, so junk before a command does not hide it.
class Reader
{
public:
    void append(const QByteArray &bytes) { m_buffer += bytes; }
    // The next complete command, once there is one.
    bool next(Decoded &command);

private:
    QByteArray m_buffer;
};

} // namespace AnchorConfigCommand

#endif // ANCHORCONFIG_H
