#include "TLTraceMeaning.h"

#include "KestrovanCommand.h"
#include "TLKestrovanExposureState.h"
#include "TLKestrovanStatusWord.h"

#include <QStringList>

using namespace Kestrovan;

namespace {
struct Entry
{
    const char *name;
    const char *meaning;
};

// In id order, as the command table.
constexpr Entry Commands[CommandCount] = {
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
    {Status1, TLKestrovanStatusWord::GeneratorOnBit, "power"},
    {Status1, TLKestrovanStatusWord::FocusReadyBit, "focus ready"},
    {Status1, TLKestrovanStatusWord::ErrorBit, "error indication"},
    {Status2, TLKestrovanStatusWord::DapEnabledBit, "dose meter"},
};
constexpr int StatusWordBits = 31;
} // namespace

int TLTraceMeaning::command(const QByteArray &code)
{
    if (code.size() != 2)
        return -1;
    const quint16 value =
        static_cast<quint16>(static_cast<quint8>(code.at(0)) | (static_cast<quint8>(code.at(1)) << 8));
    const int id = commandForCode(value);
    // "zz" is Unknown by the table; any other code without a command is no command at all.
    return id != Unknown || value == commandCode(Unknown) ? id : -1;
}

QString TLTraceMeaning::name(int command)
{
    return command >= 0 && command < CommandCount ? QString::fromLatin1(Commands[command].name)
                                                  : QStringLiteral("?");
}

QString TLTraceMeaning::meaning(int command)
{
    return command >= 0 && command < CommandCount ? QString::fromLatin1(Commands[command].meaning)
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
        if (value == TLKestrovanExposureState::PrepareAccepted)
            return QStringLiteral("prepare accepted");
        if (value == TLKestrovanExposureState::ExposureAccepted)
            return QStringLiteral("exposure accepted");
        return QStringLiteral("no release answer");
    case ExposureState: {
        const TLKestrovanExposureState read = TLKestrovanExposureState::read(value);
        if (!read.isValid())
            return QStringLiteral("not four hexadecimal digits");
        return stateName(read.state()) + QStringLiteral(", ") + keysName(read.keys());
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

QString TLTraceMeaning::stateName(int state)
{
    switch (state) {
    case TLKestrovanExposureState::Break:
        return QStringLiteral("break of the exposure");
    case TLKestrovanExposureState::Error:
        return QStringLiteral("exposure error");
    case TLKestrovanExposureState::PrepareOn:
        return QStringLiteral("prepare on");
    case TLKestrovanExposureState::Prepare:
        return QStringLiteral("prepare state");
    case TLKestrovanExposureState::PrepareReady:
        return QStringLiteral("prepare ready state");
    case TLKestrovanExposureState::WaitForExposure:
        return QStringLiteral("wait for exposure");
    case TLKestrovanExposureState::ExposureCheck:
        return QStringLiteral("exposure check signal");
    case TLKestrovanExposureState::ExposureWait:
        return QStringLiteral("exposure wait (wait for devices)");
    case TLKestrovanExposureState::ExposureOn:
        return QStringLiteral("exposure on");
    case TLKestrovanExposureState::ExposureOff:
        return QStringLiteral("exposure off");
    default:
        return QStringLiteral("state %1 (no state of the handshake)").arg(state, 2, 16, QLatin1Char('0'));
    }
}

QString TLTraceMeaning::keysName(int keys)
{
    const bool prepare = keys & TLKestrovanExposureState::PrepareKeyBit;
    const bool exposure = keys & TLKestrovanExposureState::ExposureKeyBit;
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
    const TLKestrovanStatusWord status(QString::fromLatin1(value));
    if (!status.isNumber())
        return QStringLiteral("not a number (reads as 0)");
    const qint64 word = status.value();
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
