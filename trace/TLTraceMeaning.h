#pragma once

#include <QByteArray>
#include <QString>

// What the codes and values of the generator's telegrams mean, for a person reading a trace:
// command names from the command table, the named bits of the status words, the exposure states
// with the keys of the hand switch, and the release answers.
class TLTraceMeaning
{
public:
    // The command id of a two-letter code, or -1 when the table has no such code.
    static int command(const QByteArray &code);
    // The constant's name ("KV") and the meaning ("tube voltage, kV") of a command id.
    static QString name(int command);
    static QString meaning(int command);
    // What a value means beyond its text, or nothing when the text says it all.
    static QString valueMeaning(int command, const QByteArray &value);

    static QString stateName(int state);
    static QString keysName(int keys);
    // "power, focus ready, error indication"; "no bit set"; "not a number (reads as 0)".
    static QString statusBits(int command, const QByteArray &value);
    // A value as text, with bytes that cannot be shown written as \xNN.
    static QString printable(const QByteArray &bytes);
};
