#include "TLHostScriptRunner.h"

#include "TLAbstractDevice.h"
#include "TLAbstractGeneratorDriver.h"
#include "TLCondition.h"
#include "TLHostCallLog.h"
#include "TLHostConsoleApplication.h"
#include "TLHostInterrupt.h"
#include "TLHostSpinner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cmath>
#include <unistd.h>

namespace {
using Result = TLHostScriptRunner::Result;
using Outcome = TLHostScriptRunner::Outcome;

constexpr int ReadChunkBytes = 4096;

const QString LinkDownReason = QStringLiteral("the link to the generator is down (switchOn connects again)");

// Commands of the host alone: no spinner, and nothing of the driver's to quote.
bool isHostCommand(const QString &name)
{
    static const QStringList names = {QStringLiteral("help"),         QStringLiteral("quit"),
                                      QStringLiteral("sleep"),        QStringLiteral("limits"),
                                      QStringLiteral("device-state"), QStringLiteral("block-queries")};
    return names.contains(name);
}

// The host's exposure state provider hears of every exposure's end, the faulty ones too.
int exposuresEnded()
{
    return TLHostCallLog::calls().count(QStringLiteral("TLXRayExposureStateProvider::setExposureOff()"));
}

// What the driver reported during a command turns an ok into a warning, and is quoted.
Result withReports(Result result, const QStringList &reports)
{
    if (reports.isEmpty())
        return result;
    const QString quoted = QStringLiteral("the driver reported ") + reports.join(QStringLiteral("; "));
    if (result.outcome == Outcome::Ok)
        result.outcome = Outcome::Warning;
    result.text = result.text.isEmpty() ? quoted : result.text + QStringLiteral("; ") + quoted;
    return result;
}

void writeLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
}

Result ok(const QString &text = QString())
{
    return {Outcome::Ok, text};
}

Result failure(const QString &text)
{
    return {Outcome::Error, text};
}

Result usage(const QString &form)
{
    return failure(QStringLiteral("usage: %1").arg(form));
}

bool parseDouble(const QString &text, double &value)
{
    bool ok = false;
    value = text.toDouble(&ok); // C locale: a point, no group separators
    return ok && std::isfinite(value);
}

bool parseInt(const QString &text, int &value)
{
    bool ok = false;
    value = text.toInt(&ok, 10);
    return ok;
}

QString variantText(const QVariant &value)
{
    if (!value.isValid() || value.isNull())
        return QString();
    switch (static_cast<QMetaType::Type>(value.type())) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::Double:
    case QMetaType::Float:
        return TLHostScriptRunner::number(value.toDouble());
    case QMetaType::QVariantMap: {
        const QVariantMap map = value.toMap();
        QStringList pairs;
        for (auto it = map.constBegin(); it != map.constEnd(); ++it)
            pairs << it.key() + QLatin1Char('=') + variantText(it.value());
        return pairs.join(QLatin1Char(' '));
    }
    default:
        return value.toString();
    }
}
} // namespace

TLHostScriptRunner::TLHostScriptRunner(TLAbstractGeneratorDriver &driver, TLAbstractDevice &device)
    : driver(driver), device(device), exposuresSeen(exposuresEnded())
{
}

QStringList TLHostScriptRunner::commandNames()
{
    return {QStringLiteral("init"),         QStringLiteral("switchOn"), QStringLiteral("switchOff"),
            QStringLiteral("set"),          QStringLiteral("get"),      QStringLiteral("limits"),
            QStringLiteral("update"),       QStringLiteral("activate"), QStringLiteral("last"),
            QStringLiteral("command"),      QStringLiteral("health"),   QStringLiteral("block-queries"),
            QStringLiteral("device-state"), QStringLiteral("sleep"),    QStringLiteral("help"),
            QStringLiteral("quit")};
}

QStringList TLHostScriptRunner::parameterNames()
{
    return {QStringLiteral("kv"),  QStringLiteral("mas"),     QStringLiteral("ma"),
            QStringLiteral("ms"),  QStringLiteral("density"), QStringLiteral("focus"),
            QStringLiteral("aec"), QStringLiteral("mode"),    QStringLiteral("target")};
}

QStringList TLHostScriptRunner::helpLines()
{
    return {
        QStringLiteral("init                  initialise the driver (direct: load errors.csv, switch on)"),
        QStringLiteral("switchOn / switchOff  switch the generator on or off"),
        QStringLiteral("set NAME VALUE        set an exposure value"),
        QStringLiteral("get NAME              read an exposure value"),
        QStringLiteral("                      NAME: kv mas ma ms density focus aec mode target"),
        QStringLiteral("limits                the driver's limits"),
        QStringLiteral("update                refresh the current values from the generator"),
        QStringLiteral("activate              prepare the generator for an acquisition"),
        QStringLiteral("last                  the values of the last exposure"),
        QStringLiteral("command NAME [VALUE]  a driver command: version isDapEnabled switchOn switchOff "
                       "linkHealth driverVersion"),
        QStringLiteral("health                how the serial line fares: the driver's linkHealth counters"),
        QStringLiteral("block-queries on|off  suppress the follow-up queries after a setting"),
        QStringLiteral("device-state [N]      show or set the host device's state (0..4, 4: error)"),
        QStringLiteral("sleep MS              wait, with the host's events running"),
        QStringLiteral("help                  this list"),
        QStringLiteral("quit                  end (the driver switches the generator off)"),
    };
}

QString TLHostScriptRunner::number(double value)
{
    return QString::number(value, 'g', 6);
}

bool TLHostScriptRunner::isBlankOrComment(const QString &line)
{
    const QString trimmed = line.trimmed();
    return trimmed.isEmpty() || trimmed.startsWith(QLatin1Char('#'));
}

TLHostScriptRunner::Result TLHostScriptRunner::fromCondition(const TLCondition &condition,
                                                             const QString &okText)
{
    if (condition.isSuccess())
        return ok(okText);
    QString text = condition.text();
    if (!condition.details().isEmpty())
        text += QStringLiteral(" (%1)").arg(condition.details());
    return {condition.isWarning() ? Outcome::Warning : Outcome::Error, text};
}

QString TLHostScriptRunner::resultLine(const Result &result)
{
    QString line;
    switch (result.outcome) {
    case Outcome::Ok:
        line = result.text.isEmpty() ? QStringLiteral("ok") : QStringLiteral("ok ") + result.text;
        break;
    case Outcome::Warning:
        line = QStringLiteral("warning: ") + result.text;
        break;
    case Outcome::Error:
        line = QStringLiteral("error: ") + result.text;
        break;
    }
    return line.replace(QLatin1Char('\n'), QLatin1String("\\n"));
}

void TLHostScriptRunner::sleepWithEvents(int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    QEventLoop loop;
    QTimer tick;
    tick.setInterval(TLHostInterrupt::PollMs);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (timer.elapsed() >= milliseconds || TLHostInterrupt::requested())
            loop.quit();
    });
    tick.start();
    loop.exec();
}

void TLHostScriptRunner::print(const QString &line)
{
    writeLine(output, line);
}

void TLHostScriptRunner::printResult(FILE *stream, const Result &result)
{
    if (TLHostConsoleApplication *console = TLHostConsoleApplication::console())
        console->printLine(stream, resultLine(result));
    else
        writeLine(stream, resultLine(result));
}

bool TLHostScriptRunner::runLine(const QString &line)
{
    if (isBlankOrComment(line))
        return !quit;
    const Result result = execute(line);
    if (result.outcome == Outcome::Error)
        ++errors;
    printResult(output, result);
    // Queued work of the driver (alarms, the reaction to a lost link) gets its turn between
    // commands, as in a host whose event loop runs.
    QCoreApplication::processEvents();
    return !quit;
}

void TLHostScriptRunner::runLines(QByteArray &pending, bool ended)
{
    while (!quit && !TLHostInterrupt::requested()) {
        int end = pending.indexOf('\n');
        int next = end + 1;
        if (end < 0) {
            // Without its line feed only the last line, or one too long to wait for.
            if (pending.size() <= MaxLineBytes && !(ended && !pending.isEmpty()))
                return;
            end = next = qMin(pending.size(), MaxLineBytes);
        }
        QByteArray line = pending.left(end);
        pending.remove(0, next);
        if (line.endsWith('\r'))
            line.chop(1);
        runLine(QString::fromUtf8(line));
    }
}

void TLHostScriptRunner::runScript(int descriptor)
{
    QEventLoop loop;
    QByteArray pending;
    // Off while lines run: a driver call may run the event loop, and must not read on.
    QSocketNotifier input(descriptor, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &loop, [&] {
        input.setEnabled(false);
        char buffer[ReadChunkBytes];
        const ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) {
            input.setEnabled(true);
            return;
        }
        if (count > 0)
            pending.append(buffer, static_cast<int>(count));
        runLines(pending, count <= 0);
        if (count <= 0 || quit || TLHostInterrupt::requested())
            loop.quit();
        else
            input.setEnabled(true);
    });
    QTimer interrupt;
    TLHostInterrupt::quitOnRequest(loop, interrupt);
    loop.exec();
}

TLHostScriptRunner::Result TLHostScriptRunner::execute(const QString &line)
{
    if (isBlankOrComment(line))
        return ok();
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QStringList words = line.trimmed().split(blanks, Qt::SkipEmptyParts);
    const QString &name = words.constFirst();
    TLHostConsoleApplication *console = TLHostConsoleApplication::console();
    if (console)
        console->recordCommand(line.trimmed());
    if (isHostCommand(name))
        return dispatch(words);
    if (busy)
        busy->start(name);
    if (console)
        console->startGathering();
    Result result = dispatch(words);
    if (console)
        result = withReports(result, console->takeReports());
    if (busy)
        busy->stop();
    return result;
}

TLHostScriptRunner::Result TLHostScriptRunner::dispatch(const QStringList &words)
{
    const QString &name = words.constFirst();
    const int arguments = words.size() - 1;

    if (name == QLatin1String("init")) {
        if (arguments)
            return usage(name);
        return switched(name, driver.initGenerator());
    }
    if (name == QLatin1String("switchOn") || name == QLatin1String("switchOff")) {
        if (arguments)
            return usage(name);
        QVariant unused;
        return switched(name, driver.executeCommand(name, unused));
    }
    if (name == QLatin1String("set"))
        return arguments == 2 ? set(words.at(1), words.at(2)) : usage(QStringLiteral("set NAME VALUE"));
    if (name == QLatin1String("get"))
        return arguments == 1 ? get(words.at(1)) : usage(QStringLiteral("get NAME"));
    if (name == QLatin1String("limits"))
        return arguments ? usage(name) : limits();
    if (name == QLatin1String("update")) {
        if (arguments)
            return usage(name);
        const QString why = notReadReason();
        const Result result = fromCondition(driver.updateCurrentSettings());
        return result.outcome == Outcome::Ok && !why.isEmpty()
                   ? Result{Outcome::Warning, QStringLiteral("nothing read: ") + why}
                   : result;
    }
    if (name == QLatin1String("activate"))
        return arguments ? usage(name) : fromCondition(driver.activateForAcqusition());
    if (name == QLatin1String("last"))
        return arguments ? usage(name) : last();
    if (name == QLatin1String("command"))
        return command(words);
    if (name == QLatin1String("health")) {
        if (arguments)
            return usage(name);
        return command({QStringLiteral("command"), QStringLiteral("linkHealth")});
    }
    if (name == QLatin1String("block-queries"))
        return blockQueries(words);
    if (name == QLatin1String("device-state"))
        return deviceState(words);
    if (name == QLatin1String("sleep"))
        return sleep(words);
    if (name == QLatin1String("help")) {
        for (const QString &help : helpLines())
            print(help);
        return ok();
    }
    if (name == QLatin1String("quit")) {
        if (arguments)
            return usage(name);
        quit = true;
        return ok();
    }
    return failure(QStringLiteral("unknown command \"%1\" (help lists the commands)").arg(name));
}

TLHostScriptRunner::Result TLHostScriptRunner::set(const QString &name, const QString &value)
{
    static const QStringList doubles = {QStringLiteral("kv"), QStringLiteral("mas"), QStringLiteral("ma"),
                                        QStringLiteral("ms"), QStringLiteral("density")};
    double number = 0.0;
    int whole = 0;
    if (doubles.contains(name)) {
        if (!parseDouble(value, number))
            return failure(QStringLiteral("%1 needs a number, not \"%2\"").arg(name, value));
    } else if (!parameterNames().contains(name)) {
        return failure(QStringLiteral("unknown value \"%1\" (one of %2)")
                           .arg(name, parameterNames().join(QLatin1Char(' '))));
    } else if (!parseInt(value, whole)) {
        return failure(QStringLiteral("%1 needs a whole number, not \"%2\"").arg(name, value));
    }

    // A setter tells nothing: whether the value went out shows on the line's counters.
    const QString why = offReason();
    const QVariantMap before = why.isEmpty() ? linkHealth() : QVariantMap();
    const auto notSent = [&](const QString &reason) {
        return Result{Outcome::Warning,
                      QStringLiteral("%1 %2 stored, not sent: %3").arg(name, value, reason)};
    };
    if (name == QLatin1String("kv"))
        driver.setKV(number);
    else if (name == QLatin1String("mas"))
        driver.setMAs(number);
    else if (name == QLatin1String("ma"))
        driver.setMA(number);
    else if (name == QLatin1String("ms"))
        driver.setMs(number);
    else if (name == QLatin1String("density"))
        driver.setDensity(number);
    else if (name == QLatin1String("focus"))
        driver.setFocus(whole);
    else if (name == QLatin1String("aec"))
        driver.setAec(whole);
    else if (name == QLatin1String("mode"))
        driver.setMode(whole);
    else
        driver.setTargetDevice(whole);
    if (!why.isEmpty())
        return notSent(why);
    if (before.isEmpty()) // a driver without the counters is taken at its word
        return ok();
    const QVariantMap after = linkHealth();
    const auto grew = [&](const char *counter) {
        const QString key = QLatin1String(counter);
        return after.value(key).toLongLong() > before.value(key).toLongLong();
    };
    if (grew("giveUps"))
        return {Outcome::Warning,
                QStringLiteral("%1 %2 not acknowledged: the generator stopped answering").arg(name, value)};
    return grew("telegramsWritten") ? ok() : notSent(LinkDownReason);
}

TLHostScriptRunner::Result TLHostScriptRunner::get(const QString &name)
{
    QString value;
    if (name == QLatin1String("kv"))
        value = number(driver.kV());
    else if (name == QLatin1String("mas"))
        value = number(driver.mAs());
    else if (name == QLatin1String("ma"))
        value = number(driver.mA());
    else if (name == QLatin1String("ms"))
        value = number(driver.ms());
    else if (name == QLatin1String("density"))
        value = number(driver.density());
    else if (name == QLatin1String("focus"))
        value = QString::number(driver.focus());
    else if (name == QLatin1String("aec"))
        value = QString::number(driver.aec());
    else if (name == QLatin1String("mode"))
        value = QString::number(driver.mode());
    else if (name == QLatin1String("target"))
        value = QString::number(driver.targetDevice());
    else
        return failure(QStringLiteral("unknown value \"%1\" (one of %2)")
                           .arg(name, parameterNames().join(QLatin1Char(' '))));
    const QString why = notReadReason();
    if (why.isEmpty())
        return ok(value);
    return {Outcome::Warning, QStringLiteral("%1 %2 stored, not read: %3").arg(name, value, why)};
}

TLHostScriptRunner::Result TLHostScriptRunner::limits()
{
    const auto range = [](const char *name, double low, double high) {
        return QStringLiteral("%1=%2..%3").arg(QLatin1String(name), number(low), number(high));
    };
    return ok(QStringList{
        range("kv", driver.minKV(), driver.maxKV()), range("mas", driver.minMAs(), driver.maxMAs()),
        range("ma", driver.minMA(), driver.maxMA()), range("ms", driver.minMs(), driver.maxMs()),
        range("density", driver.minDensity(), driver.maxDensity())}
                  .join(QLatin1Char(' ')));
}

TLHostScriptRunner::Result TLHostScriptRunner::last()
{
    TLGeneratorSettings settings;
    const TLCondition condition = driver.lastExposureSettings(settings);
    const QString values =
        QStringLiteral("kv=%1 mas=%2 ma=%3 ms=%4 dap=%5")
            .arg(number(settings.kV), number(settings.mAs), number(settings.mA), number(settings.ms),
                 number(static_cast<double>(settings.dap.value(DAPValueUnit::mGy_cm2))));
    // Direct: the generator keeps the values of its last exposure, however old. Indirect: the
    // driver gives an empty record when the console wrote no new report.
    const int ended = exposuresEnded();
    const bool fresh = driver.isDirectConnection() ? ended > exposuresSeen : settings.kV > 0.0;
    exposuresSeen = ended;
    Result result = fromCondition(condition, values);
    if (result.outcome != Outcome::Ok || fresh)
        return result;
    return {Outcome::Warning, QStringLiteral("no new exposure: ") + values};
}

TLHostScriptRunner::Result TLHostScriptRunner::command(const QStringList &words)
{
    if (words.size() < 2 || words.size() > 3)
        return usage(QStringLiteral("command NAME [VALUE]"));
    const QString &name = words.at(1);
    QVariant value;
    if (words.size() == 3)
        value = words.at(2);
    const TLCondition condition = driver.executeCommand(name, value);
    if (name == QLatin1String("switchOn") || name == QLatin1String("switchOff"))
        return switched(name, condition);
    Result result = fromCondition(condition, variantText(value));
    if (name == QLatin1String("version") && result.outcome == Outcome::Ok && result.text.isEmpty()) {
        const QString why = notReadReason();
        result = {Outcome::Warning,
                  QStringLiteral("no version: ")
                      + (why.isEmpty() ? QStringLiteral("the generator did not answer") : why)};
    }
    return result;
}

TLHostScriptRunner::Result TLHostScriptRunner::switched(const QString &name, const TLCondition &condition)
{
    Result result = fromCondition(condition);
    TLHostConsoleApplication *console = TLHostConsoleApplication::console();
    if (!driver.isDirectConnection()) {
        // The next activate writes into these folders: better to hear of a problem now.
        const QString problem = console && name == QLatin1String("init") && result.outcome == Outcome::Ok
                                    ? console->hints().afterIndirectInit()
                                    : QString();
        return problem.isEmpty() ? result : Result{Outcome::Warning, problem};
    }
    powered = name != QLatin1String("switchOff") && result.outcome != Outcome::Error;
    if (console && result.outcome == Outcome::Error && name != QLatin1String("switchOff"))
        console->hint(console->hints().afterSwitchOnFailure());
    return result;
}

QVariantMap TLHostScriptRunner::linkHealth()
{
    QVariant health;
    driver.executeCommand(QStringLiteral("linkHealth"), health);
    return health.toMap(); // empty from a driver that does not know the command
}

QString TLHostScriptRunner::offReason() const
{
    if (!driver.isDirectConnection())
        return QStringLiteral("in indirect mode the console software sets the generator");
    if (!powered)
        return QStringLiteral("the generator is not switched on");
    return QString();
}

QString TLHostScriptRunner::notReadReason()
{
    QString why = offReason();
    if (!why.isEmpty())
        return why;
    const QVariantMap health = linkHealth();
    if (!health.isEmpty() && !health.value(QStringLiteral("polling")).toBool())
        return LinkDownReason;
    return QString();
}

TLHostScriptRunner::Result TLHostScriptRunner::blockQueries(const QStringList &words)
{
    if (words.size() != 2 || (words.at(1) != QLatin1String("on") && words.at(1) != QLatin1String("off")))
        return usage(QStringLiteral("block-queries on|off"));
    driver.setBlockQueries(words.at(1) == QLatin1String("on"));
    return ok();
}

TLHostScriptRunner::Result TLHostScriptRunner::deviceState(const QStringList &words)
{
    if (words.size() == 1)
        return ok(QString::number(static_cast<int>(device.state())));
    int state = 0;
    if (words.size() != 2 || !parseInt(words.at(1), state))
        return usage(QStringLiteral("device-state [N]"));
    if (state < static_cast<int>(DeviceState::Off) || state > static_cast<int>(DeviceState::Error))
        return failure(QStringLiteral("device state %1 is none of 0..4").arg(words.at(1)));
    device.setState(static_cast<DeviceState>(state));
    return ok();
}

TLHostScriptRunner::Result TLHostScriptRunner::sleep(const QStringList &words)
{
    int milliseconds = 0;
    if (words.size() != 2 || !parseInt(words.at(1), milliseconds))
        return usage(QStringLiteral("sleep MS"));
    if (milliseconds < 0 || milliseconds > MaxSleepMs)
        return failure(
            QStringLiteral("sleep needs 0..%1 milliseconds, not %2").arg(MaxSleepMs).arg(words.at(1)));
    sleepWithEvents(milliseconds);
    return ok();
}
