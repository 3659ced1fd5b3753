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

} // namespace AnchorConfigCommand

#endif // ANCHORCONFIG_H
