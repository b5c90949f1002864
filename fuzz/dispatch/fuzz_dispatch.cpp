// Feeds arbitrary received telegrams to the driver's receive dispatch: status words, the
// target device, error codes, exposure states of any length, unknown codes and messages too
// short to be telegrams. Besides crashes and sanitizer findings, it traps when the stored
// values, the signals or the calls on the host's singletons break what the receive path
// promises.
//
// Input: the bytes as they would arrive on the wire. The whole input is first handed over as
// one message, then the pieces that the link would cut from it, and the 7-bit rest after the
// last terminator as a message of its own. The driver has no link: queries it makes go
// nowhere and return at once. It lives as long as the process, like the real one across many
// telegrams, so what one input stores is the previous value for the next.

#include "KestrovanCommand.h"
#include "TLGeneratorDriverKestrovan.h"
#include "TLHostAnswer.h"
#include "TLHostApplication.h"
#include "TLHostCallLog.h"
#include "TLKestrovanTelegram.h"
#include "TLXRayExposureStateProvider.h"
#include "TLXRaySynchronizer.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstddef>
#include <cstdint>

using namespace Kestrovan;

namespace {
// The wire's facts below (terminator bit, command letters, status bits) are written out again
// on purpose: an independent copy, so that a mistake in the driver's own shows.
constexpr quint8 TerminatorBit = 0x80;
// The protocol ignores the check byte's value, so one of its bits chooses whether the host
// allows an exposure while that telegram is handled.
constexpr quint8 HostLockedBit = 0x40;
// The handshake's limit for the host's answers, in milliseconds.
constexpr int HandshakeLimitMs = 1500;

constexpr int PrepareKey = 0x01;
constexpr int ExposureKey = 0x02;

// The command codes as the generator sends them, in id order; kept apart from the protocol's
// own table so that a wrong entry there shows.
constexpr char CodeLetters[CommandCount][3] = {
    "fc", "dc", "em", "kv", "ma", "ms", "as", "af", "ac", "ad", "fm", "fb", "fv", "fa", "fs", "rf",
    "rr", "rs", "xg", "xv", "xm", "xs", "xa", "xr", "xy", "st", "vs", "on", "qs", "xb", "xc", "zz"};

// Status bits.
constexpr int Status1FocusReady = 1024;
constexpr int Status1GeneratorOn = 4096;
constexpr int Status2DapEnabled = 128;

const QString Synchronizer = QStringLiteral("TLXRaySynchronizer::");
const QString StateProvider = QStringLiteral("TLXRayExposureStateProvider::");

void require(bool holds)
{
    if (!holds)
        __builtin_trap();
}

bool isTerminator(char byte)
{
    return (static_cast<quint8>(byte) & TerminatorBit) != 0;
}

int commandOf(const QByteArray &message)
{
    for (int id = 0; id < CommandCount; ++id) {
        if (message.at(0) == CodeLetters[id][0] && message.at(1) == CodeLetters[id][1])
            return id;
    }
    return Unknown;
}

// One digit of an exposure state: below 'A' its distance from '0', otherwise its distance
// from 'A' (either case) plus ten; only the low byte counts.
int stateDigit(char c)
{
    const int code = static_cast<quint8>(c);
    return (code < 'A' ? code - '0' : (code & 0x5F) - 55) & 0xFF;
}

int stateByte(const QByteArray &value, int at)
{
    return (stateDigit(value.at(at)) * 16 + stateDigit(value.at(at + 1))) & 0xFF;
}

// The calls on the host's singletons that one exposure state makes, in order.
QStringList handshakeCalls(int state, int keys, bool unlocked)
{
    const bool prepare = keys & PrepareKey;
    const bool exposure = keys & ExposureKey;
    const QString limit = QString::number(HandshakeLimitMs);
    QStringList exposureOff{Synchronizer + QStringLiteral("setExposureOff(null)"),
                            StateProvider + QStringLiteral("setExposureOff()"),
                            StateProvider + QStringLiteral("setPrepareOff()")};
    switch (state) {
    case 0x01:
        return QStringList{StateProvider + QStringLiteral("setError()")} + exposureOff;
    case 0x0A:
        if (!prepare)
            return {};
        if (!unlocked)
            return {StateProvider + QStringLiteral("isUnlocked()")};
        return {StateProvider + QStringLiteral("isUnlocked()"),
                Synchronizer + QStringLiteral("waitForDetectorReady(%1)").arg(limit)};
    case 0x0C:
        return prepare ? QStringList{StateProvider + QStringLiteral("setPrepareCheck()")} : QStringList();
    case 0x0D:
        return prepare ? QStringList{StateProvider + QStringLiteral("setPrepareOk()")} : QStringList();
    case 0x0E:
        return exposure ? QStringList{Synchronizer + QStringLiteral("exposureButtonPressed()")}
                        : QStringList();
    case 0x10:
        return exposure ? QStringList{Synchronizer + QStringLiteral("waitForOpenXRayWindow(%1)").arg(limit)}
                        : QStringList();
    case 0x12:
        return exposure ? QStringList{Synchronizer + QStringLiteral("setExposureOn(null)"),
                                      StateProvider + QStringLiteral("setExposureOn()")}
                        : QStringList();
    case 0x14:
        return exposureOff;
    default:
        return {};
    }
}

// Every sequence that some exposure state could cause: a value too short to hold four digits
// is read as the implementation chooses, but still as some state.
QSet<QString> anyHandshakeCalls()
{
    QSet<QString> all;
    for (int state = 0; state < 0x100; ++state) {
        for (int keys = 0; keys < 4; ++keys) {
            all.insert(handshakeCalls(state, keys, true).join(QLatin1Char('|')));
            all.insert(handshakeCalls(state, keys, false).join(QLatin1Char('|')));
        }
    }
    return all;
}

// Made once: the application object for the log, the driver, and counters of its signals.
struct Rig
{
    Rig() : app(argc, argv), possibleCalls(anyHandshakeCalls())
    {
        // Every telegram logs; recording millions of lines would only grow memory.
        app.setRecording(false);
        // The handshake's waits must not block; the host agrees at once.
        TLXRaySynchronizer::instance()->setDetectorReadyAnswer(TLHostAnswer::atOnce());
        TLXRaySynchronizer::instance()->setXRayWindowAnswer(TLHostAnswer::atOnce());
        QObject::connect(&driver, &TLAbstractGeneratorDriver::valueChanged, &driver,
                         [this] { ++valueChanges; });
        QObject::connect(&driver, &TLKestrovanProtocol::errorReceived, &driver,
                         [this](const QByteArray &) { ++errorsReceived; });
    }

    int argc = 1;
    char name[14] = "fuzz_dispatch";
    char *argv[2] = {name, nullptr};
    TLHostApplication app;
    const QSet<QString> possibleCalls;
    // Declared after the application, so that it goes first.
    TLGeneratorDriverKestrovan driver;
    int valueChanges = 0;
    int errorsReceived = 0;
};

Rig &rig()
{
    static Rig instance;
    return instance;
}

QVector<QString> storedValues(TLGeneratorDriverKestrovan &driver)
{
    QVector<QString> values(CommandCount);
    for (int id = 0; id < CommandCount; ++id)
        values[id] = driver.currentValue(id, false, false);
    return values;
}

bool bitSet(const QString &word, int bit)
{
    return (word.toInt(nullptr, 10) & bit) != 0;
}

// Reading a telegram, check byte included, into code, value and logged text.
void checkReading(const QByteArray &telegram)
{
    const TLKestrovanTelegram read(telegram);
    const quint16 code = read.code();
    require((code & 0xFF) == static_cast<quint8>(telegram.at(0)));
    require((code >> 8) == static_cast<quint8>(telegram.at(1)));
    const QByteArray text = read.text();
    require(text.size() == telegram.size() - 1);
    require(telegram.startsWith(text));
    const QByteArray value = read.value();
    if (telegram.size() <= 3)
        require(value.isEmpty());
    else
        require(text == telegram.left(2) + value);
}

void deliver(Rig &r, const QByteArray &message)
{
    const bool unlocked = message.isEmpty() || !isTerminator(message.back())
                          || (static_cast<quint8>(message.back()) & HostLockedBit) == 0;
    TLXRayExposureStateProvider::instance()->setUnlocked(unlocked);
    const QVector<QString> before = storedValues(r.driver);
    // Cleared per telegram: it holds only this telegram's calls, and memory stays flat.
    TLHostCallLog::clear();
    r.valueChanges = 0;
    r.errorsReceived = 0;

    r.driver.onMessageReceived(message);

    const QVector<QString> after = storedValues(r.driver);
    const QStringList calls = TLHostCallLog::calls();
    const int id = message.size() >= 2 ? commandOf(message) : Unknown;

    if (id == ExposureState) {
        const QByteArray value = TLKestrovanTelegram(message).value();
        bool sevenBit = value.size() >= 4;
        for (int i = 0; sevenBit && i < 4; ++i)
            sevenBit = !isTerminator(value.at(i));
        if (sevenBit)
            require(calls == handshakeCalls(stateByte(value, 0), stateByte(value, 2), unlocked));
        else
            require(r.possibleCalls.contains(calls.join(QLatin1Char('|'))));
    } else {
        require(calls.isEmpty());
    }

    // Too short, unknown, or an exposure state: nothing stored, nobody told.
    if (id == Unknown || id == ExposureState) {
        require(after == before);
        require(r.valueChanges == 0);
        require(r.errorsReceived == 0);
        return;
    }

    const QByteArray value = TLKestrovanTelegram(message).value();
    const QString received = QString::fromLatin1(value);
    const QString &old = before.at(id);
    // The target device counts as changed only in its first two characters.
    const bool changed = id == TargetDevice ? old.left(2) != received.left(2) : old != received;
    for (int other = 0; other < CommandCount; ++other)
        require(after.at(other) == (other == id && changed ? received : before.at(other)));
    const bool announced = changed && id != Status1 && id != Status2;
    require(r.valueChanges == (announced ? 1 : 0));
    const bool generatorError = id == ErrorCode && !value.isEmpty() && value != "0";
    require(r.errorsReceived == (generatorError ? 1 : 0));

    require(r.driver.statusGeneratorOn() == bitSet(after.at(Status1), Status1GeneratorOn));
    require(r.driver.statusFocusReady() == bitSet(after.at(Status1), Status1FocusReady));
    require(r.driver.statusDapEnabled() == bitSet(after.at(Status2), Status2DapEnabled));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Rig &r = rig();
    const QByteArray input(reinterpret_cast<const char *>(data), static_cast<int>(size));

    if (input.size() >= 2)
        checkReading(input);
    deliver(r, input);

    const TLKestrovanTelegram::Cut cut = TLKestrovanTelegram::cut(input);
    for (const QByteArray &piece : cut.pieces) {
        if (piece.size() >= 2)
            checkReading(piece);
        deliver(r, piece);
    }
    if (!cut.rest.isEmpty())
        deliver(r, cut.rest);
    return 0;
}
