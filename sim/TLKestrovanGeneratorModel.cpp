#include "TLKestrovanGeneratorModel.h"

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {
// Bits of status word 1 ("st") and status word 2 ("qs").
constexpr int ErrorBit = 0x80;
constexpr int FocusReadyBit = 0x400;
constexpr int PowerBit = 0x1000;
constexpr int DoseMeterBit = 0x80;

// What a real generator accepts; other values are corrected when corrections are on.
constexpr double KvMin = 40.0;
constexpr double KvMax = 150.0;
constexpr double MaMin = 1.0;
constexpr double MaMax = 800.0;
constexpr double MsMin = 1.0;
constexpr double MsMax = 6000.0;
constexpr double MasStepsPerUnit = 10.0; // mAs to one decimal place
} // namespace

const QList<QByteArray> &TLKestrovanGeneratorModel::codes()
{
    static const QList<QByteArray> all =
        QByteArrayLiteral(
            "fc dc em kv ma ms as af ac ad fm fb fv fa fs rf rr rs xg xv xm xs xa xr xy st vs on qs "
            "xb xc")
            .split(' ');
    return all;
}

TLKestrovanGeneratorModel::TLKestrovanGeneratorModel(std::mutex &mutex)
    : mutex(mutex), values{
                        {"st", "0"}, {"qs", "0"},  {"rr", "0"},    {"fc", "1"},   {"dc", "01"},
                        {"em", "1"}, {"kv", "70"}, {"ma", "200"},  {"ms", "100"}, {"as", "20"},
                        {"af", "0"}, {"ad", "0"},  {"vs", "V1.2"},
                    }
{
}

void TLKestrovanGeneratorModel::setValue(const QByteArray &code, const QByteArray &value)
{
    std::lock_guard<std::mutex> lock(mutex);
    values.insert(code, value);
}

QByteArray TLKestrovanGeneratorModel::value(const QByteArray &code) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return values.value(code);
}

int TLKestrovanGeneratorModel::status1() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return statusWord("st");
}

int TLKestrovanGeneratorModel::status2() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return statusWord("qs");
}

void TLKestrovanGeneratorModel::setCorrections(bool enabled)
{
    std::lock_guard<std::mutex> lock(mutex);
    corrections = enabled;
}

void TLKestrovanGeneratorModel::setPowerOnDelayMs(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    powerOnDelayMs = ms;
}

void TLKestrovanGeneratorModel::setFocusReadyDelayMs(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    focusReadyDelayMs = ms;
}

void TLKestrovanGeneratorModel::setDapEnabled(bool enabled)
{
    std::lock_guard<std::mutex> lock(mutex);
    const int word = statusWord("qs");
    setStatusWord("qs", enabled ? (word | DoseMeterBit) : (word & ~DoseMeterBit));
}

void TLKestrovanGeneratorModel::setVersion(const QByteArray &version)
{
    std::lock_guard<std::mutex> lock(mutex);
    values.insert("vs", version);
}

void TLKestrovanGeneratorModel::setPowered(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    values.insert("on", on ? "1" : "0");
    if (on) {
        // At the panel the power bit comes at once, without the delay of a command.
        ++powerGeneration;
        timedEvents.clear();
        setStatusWord("st", statusWord("st") | PowerBit);
    } else {
        switchOff();
    }
}

void TLKestrovanGeneratorModel::injectError(const QByteArray &code)
{
    std::lock_guard<std::mutex> lock(mutex);
    raiseErrorLocked(code);
}

void TLKestrovanGeneratorModel::startErrorStorm(const QList<QByteArray> &codes, int intervalMs,
                                                bool announced)
{
    std::lock_guard<std::mutex> lock(mutex);
    stormCodes.assign(codes.begin(), codes.end());
    stormInterval = std::chrono::milliseconds(std::max(0, intervalMs));
    stormNext = Clock::now();
    stormAnnounced = announced;
}

QList<QByteArray> TLKestrovanGeneratorModel::countingCodes(int first, int count)
{
    QList<QByteArray> codes;
    for (int i = 0; i < count; ++i)
        codes.append(QByteArray::number(first + i));
    return codes;
}

int TLKestrovanGeneratorModel::errorStormLeft() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return int(stormCodes.size());
}

void TLKestrovanGeneratorModel::setExposureDose(const QByteArray &dose)
{
    std::lock_guard<std::mutex> lock(mutex);
    exposureDose = dose;
}

void TLKestrovanGeneratorModel::setLastExposure(const QByteArray &kv, const QByteArray &mas,
                                                const QByteArray &ma, const QByteArray &xs,
                                                const QByteArray &dose)
{
    std::lock_guard<std::mutex> lock(mutex);
    lastExposureOverride = LastExposure{kv, mas, ma, xs, dose};
    storeExposureValues(*lastExposureOverride);
}

void TLKestrovanGeneratorModel::clearLastExposure()
{
    std::lock_guard<std::mutex> lock(mutex);
    lastExposureOverride.reset();
}

void TLKestrovanGeneratorModel::setDoseZeroQueries(int n)
{
    std::lock_guard<std::mutex> lock(mutex);
    doseZeroQueries = std::max(0, n);
    doseZeroLeft = doseZeroQueries;
}

// --- with the mutex held ------------------------------------------------------------------

QByteArray TLKestrovanGeneratorModel::answerLocked(const QByteArray &code)
{
    // A dose meter that still integrates reads zero for a while after the exposure.
    if (code == "xg" && doseZeroLeft > 0) {
        --doseZeroLeft;
        return "0";
    }
    return values.value(code);
}

void TLKestrovanGeneratorModel::applyCommandLocked(const QByteArray &code, const QByteArray &value)
{
    if (code == "on") {
        values.insert(code, value);
        if (value == "1")
            schedule(TimedAction::PowerOn, powerOnDelayMs);
        else if (value == "0")
            switchOff();
    } else if (code == "rs") {
        values.insert(code, value);
        values.insert("rr", "0");
        const int word = statusWord("st") & ~ErrorBit;
        setStatusWord("st", word);
        if (word & PowerBit)
            schedule(TimedAction::FocusReady, focusReadyDelayMs);
    } else {
        values.insert(code, corrected(code, value));
    }
}

QList<QByteArray> TLKestrovanGeneratorModel::fireDueEventsLocked(Clock::time_point now)
{
    fireTimedEvents(now);
    QList<QByteArray> unasked;
    while (!stormCodes.empty() && stormNext <= now) {
        raiseErrorLocked(stormCodes.front());
        if (stormAnnounced)
            unasked.append("rr" + stormCodes.front());
        stormCodes.pop_front();
        stormNext += stormInterval;
    }
    return unasked;
}

void TLKestrovanGeneratorModel::fireTimedEvents(Clock::time_point now)
{
    auto due = [now](const TimedEvent &event) { return event.due <= now; };
    std::vector<TimedEvent> firing;
    std::copy_if(timedEvents.begin(), timedEvents.end(), std::back_inserter(firing), due);
    timedEvents.erase(std::remove_if(timedEvents.begin(), timedEvents.end(), due), timedEvents.end());
    for (const TimedEvent &event : firing) {
        // Switching off in the meantime cancels what switching on had started.
        if (event.generation != powerGeneration)
            continue;
        const int word = statusWord("st");
        if (event.action == TimedAction::PowerOn)
            setStatusWord("st", word | PowerBit);
        else if (word & PowerBit)
            setStatusWord("st", word | FocusReadyBit);
    }
}

void TLKestrovanGeneratorModel::raiseErrorLocked(const QByteArray &code)
{
    values.insert("rr", code);
    setStatusWord("st", statusWord("st") ^ ErrorBit);
}

void TLKestrovanGeneratorModel::storeLastExposureLocked()
{
    LastExposure last;
    if (lastExposureOverride) {
        last = *lastExposureOverride;
    } else {
        bool ok = false;
        const double ms = values.value("ms").toDouble(&ok);
        last.kv = values.value("kv");
        last.mas = values.value("as");
        last.ma = values.value("ma");
        // The generator reports the exposure time in half milliseconds.
        last.xs = ok ? QByteArray::number(2.0 * ms, 'g', 6) : QByteArray("0");
        last.dose = exposureDose;
    }
    storeExposureValues(last);
    doseZeroLeft = doseZeroQueries;
}

// --- helpers, with the mutex held -----------------------------------------------------------

int TLKestrovanGeneratorModel::statusWord(const QByteArray &code) const
{
    bool ok = false;
    const int word = values.value(code).toInt(&ok);
    return ok ? word : 0;
}

void TLKestrovanGeneratorModel::setStatusWord(const QByteArray &code, int value)
{
    values.insert(code, QByteArray::number(value));
}

void TLKestrovanGeneratorModel::switchOff()
{
    ++powerGeneration;
    timedEvents.clear();
    setStatusWord("st", statusWord("st") & ~(PowerBit | FocusReadyBit));
}

void TLKestrovanGeneratorModel::schedule(TimedAction action, int delayMs)
{
    const Clock::time_point now = Clock::now();
    timedEvents.push_back({now + std::chrono::milliseconds(std::max(0, delayMs)), action, powerGeneration});
    if (delayMs <= 0)
        fireTimedEvents(now);
}

void TLKestrovanGeneratorModel::storeExposureValues(const LastExposure &last)
{
    values.insert("xv", last.kv);
    values.insert("xa", last.mas);
    values.insert("xm", last.ma);
    values.insert("xs", last.xs);
    values.insert("xg", last.dose);
}

QByteArray TLKestrovanGeneratorModel::corrected(const QByteArray &code, const QByteArray &value) const
{
    if (!corrections)
        return value;
    bool ok = false;
    const double given = value.toDouble(&ok);
    if (!ok)
        return value;
    double result = given;
    if (code == "kv")
        result = std::clamp(given, KvMin, KvMax);
    else if (code == "ma")
        result = std::clamp(given, MaMin, MaMax);
    else if (code == "ms")
        result = std::clamp(given, MsMin, MsMax);
    else if (code == "as")
        result = std::round(given * MasStepsPerUnit) / MasStepsPerUnit;
    if (result == given)
        return value;
    return QByteArray::number(result, 'g', 6);
}
