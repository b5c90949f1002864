#include "TLTraceMeaning.h"

#include "KestrovanCommand.h"

#include <QStringList>

namespace {
struct Entry
{
    const char *name;
    const char *meaning;
};

// In id order, as the command table.
constexpr Entry Commands[KestrovanCommandCount] = {
    {"Focus", "focus"},
    {"TargetDevice", "target device"},
    {"ExposureMode", "exposure mode"},
    {"KV", "tube voltage, kV"},
    {"MA", "tube current, mA"},
    {"Ms", "exposure time, ms"},
    {"MAs", "current-time product, mAs"},
    {"Aec", "automatic exposure control selection"},
    {"Ac", "not used by the driver"},
    {"Density", "density"},
    {"Fm", "not used by the driver"},
    {"Fb", "not used by the driver"},
    {"Fv", "not used by the driver"},
    {"Fa", "not used by the driver"},
    {"Fs", "not used by the driver"},
    {"Rf", "not used by the driver"},
    {"ErrorCode", "current generator error code"},
    {"ResetError", "reset the generator's error state"},
    {"LastDose", "dose-area product of the last exposure"},
    {"LastKV", "kV of the last exposure"},
    {"LastMA", "mA of the last exposure"},
    {"LastMs", "exposure time of the last exposure, half ms"},
    {"LastMAs", "mAs of the last exposure"},
    {"ExposureRelease", "release answer of the exposure handshake"},
    {"ExposureState", "exposure state"},
    {"Status1", "status word 1"},
    {"Version", "generator version"},
    {"Power", "generator power"},
    {"Status2", "status word 2"},
    {"Xb", "not used by the driver"},
    {"Xc", "not used by the driver"},
    {"Unknown", "stands for no command"},
};

// Bits of the status words that the driver acts on.
struct Bit
{
    int command;
    int value;
    const char *name;
};
constexpr Bit StatusBits[] = {
    {Status1, 0x1000, "power"},
    {Status1, 0x0400, "focus ready"},
    {Status1, 0x0080, "error indication"},
    {Status2, 0x0080, "dose meter"},
};
constexpr int StatusWordBits = 31;

// A state digit as the driver reads it: below 'A' its distance from '0', otherwise its letter
// value with the case bit cleared; only the low 8 bits count.
int stateDigit(char c)
{
    const int code = static_cast<unsigned char>(c);
    return (code < 'A' ? code - '0' : (code & 0x5F) - 55) & 0xFF;
}
} // namespace

int TLTraceMeaning::command(const QByteArray &code)
{
    if (code.size() != 2)
        return -1;
    for (int id = 0; id < KestrovanCommandCount; ++id) {
        if (code.at(0) == KestrovanCommandLetters[id][0] && code.at(1) == KestrovanCommandLetters[id][1])
            return id;
    }
    return -1;
}

QString TLTraceMeaning::name(int command)
{
    return command >= 0 && command < KestrovanCommandCount ? QString::fromLatin1(Commands[command].name)
                                                           : QStringLiteral("?");
}

QString TLTraceMeaning::meaning(int command)
{
    return command >= 0 && command < KestrovanCommandCount ? QString::fromLatin1(Commands[command].meaning)
                                                           : QStringLiteral("no command of the table");
}

QString TLTraceMeaning::valueMeaning(int command, const QByteArray &value)
{
    switch (command) {
    case ErrorCode:
        return value.isEmpty() || value == "0" ? QStringLiteral("no error") : QString();
    case LastMs: {
        bool ok = false;
        const double halfMs = value.toDouble(&ok);
        return ok ? QStringLiteral("%1 ms").arg(halfMs / 2, 0, 'g', 6) : QString();
    }
    case ExposureRelease:
        if (value == "41")
            return QStringLiteral("prepare accepted");
        if (value == "81")
            return QStringLiteral("exposure accepted");
        return QStringLiteral("no release answer");
    case ExposureState: {
        const StateReading read = exposureState(value);
        if (!read.valid)
            return QStringLiteral("not four hexadecimal digits");
        return stateName(read.state) + QStringLiteral(", ") + keysName(read.keys);
    }
    case Status1:
    case Status2:
        return statusBits(command, value);
    case Power:
        if (value == "1")
            return QStringLiteral("switch on");
        if (value == "0")
            return QStringLiteral("switch off");
        return QString();
    default:
        return QString();
    }
}

TLTraceMeaning::StateReading TLTraceMeaning::exposureState(const QByteArray &value)
{
    StateReading read;
    if (value.size() < 4)
        return read;
    read.valid = true;
    read.state = (stateDigit(value.at(0)) * 16 + stateDigit(value.at(1))) & 0xFF;
    read.keys = (stateDigit(value.at(2)) * 16 + stateDigit(value.at(3))) & 0xFF;
    return read;
}

QString TLTraceMeaning::stateName(int state)
{
    switch (state) {
    case ExposureBreak:
        return QStringLiteral("break of the exposure");
    case ExposureError:
        return QStringLiteral("exposure error");
    case PrepareOn:
        return QStringLiteral("prepare on");
    case 0x0C:
        return QStringLiteral("prepare state");
    case 0x0D:
        return QStringLiteral("prepare ready state");
    case 0x0E:
        return QStringLiteral("wait for exposure");
    case ExposureCheck:
        return QStringLiteral("exposure check signal");
    case 0x11:
        return QStringLiteral("exposure wait (wait for devices)");
    case ExposureOn:
        return QStringLiteral("exposure on");
    case ExposureOff:
        return QStringLiteral("exposure off");
    default:
        return QStringLiteral("state %1 (no state of the handshake)").arg(state, 2, 16, QLatin1Char('0'));
    }
}

QString TLTraceMeaning::keysName(int keys)
{
    const bool prepare = keys & PrepareKey;
    const bool exposure = keys & ExposureKey;
    if (prepare && exposure)
        return QStringLiteral("both keys");
    if (prepare)
        return QStringLiteral("prepare key");
    if (exposure)
        return QStringLiteral("exposure key");
    return QStringLiteral("no key");
}

QString TLTraceMeaning::statusBits(int command, const QByteArray &value)
{
    bool ok = false;
    const qint64 word = value.toLongLong(&ok);
    if (!ok)
        return QStringLiteral("not a number (reads as 0)");
    QStringList names;
    qint64 named = 0;
    for (const Bit &bit : StatusBits) {
        if (bit.command != command)
            continue;
        named |= bit.value;
        if (word & bit.value)
            names << QString::fromLatin1(bit.name);
    }
    for (int bit = 0; bit <= StatusWordBits; ++bit) {
        if ((word & (qint64(1) << bit)) && !(named & (qint64(1) << bit)))
            names << QStringLiteral("bit %1").arg(bit);
    }
    return names.isEmpty() ? QStringLiteral("no bit set") : names.join(QStringLiteral(", "));
}

QString TLTraceMeaning::printable(const QByteArray &bytes)
{
    QString text;
    for (const char c : bytes) {
        const int code = static_cast<unsigned char>(c);
        if (code >= 0x20 && code < 0x7f && c != '\\')
            text += QLatin1Char(c);
        else
            text += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
    }
    return text;
}
