#include "TLHostScriptRunner.h"

#include "TLAbstractDevice.h"
#include "TLAbstractGeneratorDriver.h"
#include "TLCondition.h"
#include "TLHostInterrupt.h"
#include "TLHostSpinner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QIODevice>
#include <QRegularExpression>
#include <QTimer>

#include <cmath>

namespace {
using Result = TLHostScriptRunner::Result;
using Outcome = TLHostScriptRunner::Outcome;

// How often a sleep looks for an interrupt.
constexpr int InterruptPollMs = 50;

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
    : driver(driver), device(device)
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
        QStringLiteral(
            "command NAME [VALUE]  a driver command: version isDapEnabled switchOn switchOff linkHealth"),
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
    tick.setInterval(InterruptPollMs);
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (timer.elapsed() >= milliseconds || TLHostInterrupt::requested())
            loop.quit();
    });
    tick.start();
    loop.exec();
}

void TLHostScriptRunner::print(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), output);
    std::fflush(output);
}

bool TLHostScriptRunner::runLine(const QString &line)
{
    if (isBlankOrComment(line))
        return !quit;
    const Result result = execute(line);
    if (result.outcome == Outcome::Error)
        ++errors;
    print(resultLine(result));
    // Queued work of the driver (alarms, the reaction to a lost link) gets its turn between
    // commands, as in a host whose event loop runs.
    QCoreApplication::processEvents();
    return !quit;
}

void TLHostScriptRunner::runScript(QIODevice &input)
{
    while (!quit && !TLHostInterrupt::requested()) {
        // Blocks until a whole line or the end of the input; only the end gives nothing.
        QByteArray line = input.readLine();
        if (line.isEmpty())
            break;
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
        runLine(QString::fromUtf8(line));
    }
}

TLHostScriptRunner::Result TLHostScriptRunner::execute(const QString &line)
{
    if (isBlankOrComment(line))
        return ok();
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    const QStringList words = line.trimmed().split(blanks, Qt::SkipEmptyParts);
    const QString &name = words.constFirst();
    const bool quiet = name == QLatin1String("help") || name == QLatin1String("quit")
                       || name == QLatin1String("sleep") || name == QLatin1String("limits");
    if (busy && !quiet)
        busy->start(name);
    Result result = dispatch(words);
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
        return fromCondition(driver.initGenerator());
    }
    if (name == QLatin1String("switchOn") || name == QLatin1String("switchOff")) {
        if (arguments)
            return usage(name);
        QVariant unused;
        return fromCondition(driver.executeCommand(name, unused));
    }
    if (name == QLatin1String("set"))
        return arguments == 2 ? set(words.at(1), words.at(2)) : usage(QStringLiteral("set NAME VALUE"));
    if (name == QLatin1String("get"))
        return arguments == 1 ? get(words.at(1)) : usage(QStringLiteral("get NAME"));
    if (name == QLatin1String("limits"))
        return arguments ? usage(name) : limits();
    if (name == QLatin1String("update"))
        return arguments ? usage(name) : fromCondition(driver.updateCurrentSettings());
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
    if (doubles.contains(name)) {
        double number = 0.0;
        if (!parseDouble(value, number))
            return failure(QStringLiteral("%1 needs a number, not \"%2\"").arg(name, value));
        if (name == QLatin1String("kv"))
            driver.setKV(number);
        else if (name == QLatin1String("mas"))
            driver.setMAs(number);
        else if (name == QLatin1String("ma"))
            driver.setMA(number);
        else if (name == QLatin1String("ms"))
            driver.setMs(number);
        else
            driver.setDensity(number);
        return ok();
    }
    if (!parameterNames().contains(name))
        return failure(QStringLiteral("unknown value \"%1\" (one of %2)")
                           .arg(name, parameterNames().join(QLatin1Char(' '))));
    int whole = 0;
    if (!parseInt(value, whole))
        return failure(QStringLiteral("%1 needs a whole number, not \"%2\"").arg(name, value));
    if (name == QLatin1String("focus"))
        driver.setFocus(whole);
    else if (name == QLatin1String("aec"))
        driver.setAec(whole);
    else if (name == QLatin1String("mode"))
        driver.setMode(whole);
    else
        driver.setTargetDevice(whole);
    return ok();
}

TLHostScriptRunner::Result TLHostScriptRunner::get(const QString &name)
{
    if (name == QLatin1String("kv"))
        return ok(number(driver.kV()));
    if (name == QLatin1String("mas"))
        return ok(number(driver.mAs()));
    if (name == QLatin1String("ma"))
        return ok(number(driver.mA()));
    if (name == QLatin1String("ms"))
        return ok(number(driver.ms()));
    if (name == QLatin1String("density"))
        return ok(number(driver.density()));
    if (name == QLatin1String("focus"))
        return ok(QString::number(driver.focus()));
    if (name == QLatin1String("aec"))
        return ok(QString::number(driver.aec()));
    if (name == QLatin1String("mode"))
        return ok(QString::number(driver.mode()));
    if (name == QLatin1String("target"))
        return ok(QString::number(driver.targetDevice()));
    return failure(QStringLiteral("unknown value \"%1\" (one of %2)")
                       .arg(name, parameterNames().join(QLatin1Char(' '))));
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
    return fromCondition(condition, values);
}

TLHostScriptRunner::Result TLHostScriptRunner::command(const QStringList &words)
{
    if (words.size() < 2 || words.size() > 3)
        return usage(QStringLiteral("command NAME [VALUE]"));
    QVariant value;
    if (words.size() == 3)
        value = words.at(2);
    const TLCondition condition = driver.executeCommand(words.at(1), value);
    return fromCondition(condition, variantText(value));
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
