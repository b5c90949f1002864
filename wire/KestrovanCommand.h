#pragma once

#include <QtGlobal>

namespace Kestrovan {

// Command ids of the generator protocol. Each has a two-letter code (see commandCode).
enum KestrovanCommand : int {
    Focus = 0,
    TargetDevice = 1,
    ExposureMode = 2,
    KV = 3,
    MA = 4,
    Ms = 5,
    MAs = 6,
    Aec = 7,
    Ac = 8,
    Density = 9,
    Fm = 10,
    Fb = 11,
    Fv = 12,
    Fa = 13,
    Fs = 14,
    Rf = 15,
    ErrorCode = 16,
    ResetError = 17,
    LastDose = 18,
    LastKV = 19,
    LastMA = 20,
    LastMs = 21,
    LastMAs = 22,
    ExposureRelease = 23,
    ExposureState = 24,
    Status1 = 25,
    Version = 26,
    Power = 27,
    Status2 = 28,
    Xb = 29,
    Xc = 30,
    Unknown = 31
};

constexpr int CommandCount = 32;

// The two letters of each id, in id order.
constexpr char CommandLetters[CommandCount][3] = {
    "fc", "dc", "em", "kv", "ma", "ms", "as", "af", "ac", "ad", "fm", "fb", "fv", "fa", "fs", "rf",
    "rr", "rs", "xg", "xv", "xm", "xs", "xa", "xr", "xy", "st", "vs", "on", "qs", "xb", "xc", "zz"};

// The 16-bit code of an id: first letter in the low byte, second in the high byte.
constexpr quint16 commandCode(int id)
{
    return static_cast<quint16>(static_cast<quint8>(CommandLetters[id][0])
                                | (static_cast<quint8>(CommandLetters[id][1]) << 8));
}

// The id of a code, or Unknown when no command has it ("zz" is Unknown too).
constexpr int commandForCode(quint16 code)
{
    for (int id = 0; id < CommandCount; ++id) {
        if (commandCode(id) == code)
            return id;
    }
    return Unknown;
}

} // namespace Kestrovan
