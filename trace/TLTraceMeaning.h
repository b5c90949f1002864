#pragma once

#include <QByteArray>
#include <QString>

// What the codes and values of the generator's telegrams mean, for a person reading a trace:
// command names from the command table, the named bits of the status words, the exposure states
// with the keys of the hand switch, and the release answers.
class TLTraceMeaning
{
public:
    // A received exposure state: state byte S and key byte K from four hexadecimal digits.
    struct StateReading
    {
        bool valid = false; // four digits were there
        int state = 0;
        int keys = 0;
    };

    // The command id of a two-letter code, or -1 when the table has no such code.
    static int command(const QByteArray &code);
    // The constant's name ("KV") and the meaning ("tube voltage, kV") of a command id.
    static QString name(int command);
    static QString meaning(int command);
    // What a value means beyond its text, or nothing when the text says it all.
    static QString valueMeaning(int command, const QByteArray &value);

    static StateReading exposureState(const QByteArray &value);
    static QString stateName(int state);
    static QString keysName(int keys);
    // "power, focus ready, error indication"; "no bit set"; "not a number (reads as 0)".
    static QString statusBits(int command, const QByteArray &value);
    // A value as text, with bytes that cannot be shown written as \xNN.
    static QString printable(const QByteArray &bytes);

    static constexpr int PrepareOn = 0x0A;
    static constexpr int ExposureCheck = 0x10;
    static constexpr int ExposureOn = 0x12;
    static constexpr int ExposureOff = 0x14;
    static constexpr int ExposureBreak = 0x00;
    static constexpr int ExposureError = 0x01;
    static constexpr int PrepareKey = 0x1;
    static constexpr int ExposureKey = 0x2;
};
