#include "TLHostDemo.h"

#include "TLHostApplication.h"
#include "TLHostCommandLine.h"
#include "TLHostInterrupt.h"
#include "TLHostSession.h"
#include "TLHostSystemSettings.h"
#include "TLKestrovanConsoleSimulator.h"
#include "TLKestrovanGeneratorSimulator.h"
#include "TLProcedureCodes.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>

namespace {
using Result = TLHostScriptRunner::Result;
using Outcome = TLHostScriptRunner::Outcome;

// The procedure code of the indirect run when none is given.
const char DemoProcedureCode[] = "THORAX";
// The generator error the demonstration injects; the sample catalogue explains it.
const char DemoErrorCode[] = "105";
// Slice of the event loop while a step waits.
constexpr int WaitSliceMs = 50;

const char *outcomeName(TLKestrovanExposureSequence::Outcome outcome)
{
    using O = TLKestrovanExposureSequence::Outcome;
    switch (outcome) {
    case O::None:
        return "no exposure ran";
    case O::Running:
        return "still running";
    case O::Completed:
        return "completed";
    case O::NotReleased:
        return "not released by the driver";
    case O::KeysReleased:
        return "keys released early";
    case O::Aborted:
        return "aborted";
    case O::Failed:
        return "failed at the generator";
    case O::LinkLost:
        return "the link was lost";
    case O::Stopped:
        return "the simulator stopped";
    }
    return "unknown";
}
} // namespace

TLHostDemo::TLHostDemo(TLHostSession &session, const TLHostCommandLine &options, TLHostSpinner *spinner)
    : session(session), options(options), spinner(spinner)
{
}

void TLHostDemo::print(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), output);
    std::fflush(output);
}

void TLHostDemo::heading(const QString &text)
{
    print(QString());
    print(QStringLiteral("== ") + text);
}

bool TLHostDemo::waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs || TLHostInterrupt::requested())
            return false;
        TLHostScriptRunner::sleepWithEvents(WaitSliceMs);
    }
    return true;
}

bool TLHostDemo::record(const QString &name, const Result &result)
{
    steps.append({part, name, result});
    TLHostScriptRunner::printResult(output, result);
    return result.outcome != Outcome::Error;
}

bool TLHostDemo::command(TLHostScriptRunner &runner, const QString &line)
{
    print(QStringLiteral("> ") + line);
    return record(line, runner.execute(line));
}

bool TLHostDemo::action(const QString &name, const std::function<Result()> &work)
{
    print(QStringLiteral("> ") + name);
    return record(name, work());
}

int TLHostDemo::run()
{
    print(QStringLiteral("kestrovan-host demonstration: the driver %1 against the built-in "
                         "simulators")
              .arg(session.pluginPath()));
    runDirect();
    if (!TLHostInterrupt::requested())
        runIndirect();
    printSummary();
    for (const Step &step : qAsConst(steps)) {
        if (step.result.outcome == Outcome::Error)
            return 1;
    }
    return TLHostInterrupt::requested() ? 1 : 0;
}

bool TLHostDemo::runDirect()
{
    part = QStringLiteral("direct");
    TLKestrovanGeneratorSimulator generator;
    generator.model().setDapEnabled(true);
    if (!generator.start())
        return record(QStringLiteral("start the generator simulator"),
                      {Outcome::Error, generator.errorString()});
    if (!session.openDirect(generator.slavePath(), options))
        return record(QStringLiteral("load the driver"), {Outcome::Error, session.errorString()});

    const QString catalogue = TLHostApplication::host()->systemSettings().dataDirectory() + QLatin1Char('/')
                              + options.deviceFolder() + QStringLiteral("/errors.csv");
    heading(QStringLiteral("direct mode: generator simulator on %1%2, error catalogue %3")
                .arg(generator.slavePath(),
                     session.driverPort() == generator.slavePath()
                         ? QString()
                         : QStringLiteral(" (traced through %1)").arg(session.driverPort()),
                     QDir::toNativeSeparators(catalogue)));

    TLHostScriptRunner runner(*session.driver(), session.device());
    runner.setOutput(output);
    runner.setSpinner(spinner);

    if (!command(runner, QStringLiteral("init"))) {
        session.close();
        return false;
    }
    const QStringList settings = {
        QStringLiteral("set kv 81"),       QStringLiteral("set mas 12.5"),
        QStringLiteral("get kv"),          QStringLiteral("get mas"),
        QStringLiteral("get ma"),          QStringLiteral("limits"),
        QStringLiteral("command version"), QStringLiteral("command isDapEnabled"),
        QStringLiteral("activate"),
    };
    for (const QString &line : settings) {
        if (TLHostInterrupt::requested())
            break;
        command(runner, line);
    }

    action(QStringLiteral("[simulator] hand switch: prepare and exposure"), [&]() -> Result {
        if (!generator.sequence().runExposure())
            return {Outcome::Error, QStringLiteral("the simulator could not start an exposure")};
        if (!waitFor([&] { return generator.sequence().exposureDone(); }, ExposureTimeoutMs))
            return {Outcome::Error,
                    QStringLiteral("the exposure did not end within %1 ms").arg(ExposureTimeoutMs)};
        QStringList states;
        for (const QByteArray &state : generator.line().exposureStates())
            states << QString::fromLatin1(state);
        const auto outcome = generator.sequence().exposureOutcome();
        const QString text = QStringLiteral("exposure %1 (states %2)")
                                 .arg(QLatin1String(outcomeName(outcome)), states.join(QLatin1Char(' ')));
        return {outcome == TLKestrovanExposureSequence::Outcome::Completed ? Outcome::Ok : Outcome::Error,
                text};
    });
    command(runner, QStringLiteral("last"));

    const int alarmsBefore = TLHostApplication::host()->alarms().size();
    const QString injectStep =
        QStringLiteral("[simulator] generator error %1").arg(QLatin1String(DemoErrorCode));
    action(injectStep, [&]() -> Result {
        generator.model().injectError(DemoErrorCode);
        return {Outcome::Ok, QString()};
    });
    command(runner, QStringLiteral("sleep %1").arg(AlarmPollMs));
    action(QStringLiteral("[host] alarm shown"), [&]() -> Result {
        const auto arrived = [&] { return TLHostApplication::host()->alarms().size() > alarmsBefore; };
        if (!waitFor(arrived, AlarmTimeoutMs))
            return {Outcome::Error, QStringLiteral("no alarm arrived")};
        // The catalogue's texts carry a line of blanks; one line reads better here.
        const TLCondition alarm = TLHostApplication::host()->alarms().value(alarmsBefore).condition;
        return {Outcome::Ok, alarm.text().simplified()};
    });
    command(runner, QStringLiteral("switchOff"));

    session.close();
    generator.stop();
    return true;
}

bool TLHostDemo::runIndirect()
{
    part = QStringLiteral("indirect");
    QTemporaryDir folder(QDir::tempPath() + QStringLiteral("/kestrovan-demo-XXXXXX"));
    if (!folder.isValid())
        return record(QStringLiteral("make the communication folder"),
                      {Outcome::Error, folder.errorString()});
    TLKestrovanConsoleSimulator console;
    console.setExposure(73.0, 16.0, 320.0, 50.0, 2.4);
    if (!console.start(folder.path()))
        return record(QStringLiteral("start the console simulator"), {Outcome::Error, console.lastError()});
    if (!session.openIndirect(folder.path(), options))
        return record(QStringLiteral("load the driver"), {Outcome::Error, session.errorString()});
    const QString code =
        options.procedureCode().isEmpty() ? QString::fromLatin1(DemoProcedureCode) : options.procedureCode();
    session.driver()->setProcedureCodes(TLProcedureCodes(QString(), code));

    heading(QStringLiteral("indirect mode: console simulator in %1, procedure code %2")
                .arg(QDir::toNativeSeparators(folder.path()), code));
    TLHostScriptRunner runner(*session.driver(), session.device());
    runner.setOutput(output);
    runner.setSpinner(spinner);

    if (!command(runner, QStringLiteral("init"))) {
        session.close();
        return false;
    }
    command(runner, QStringLiteral("activate"));
    action(QStringLiteral("[console] exposure at the console"), [&]() -> Result {
        if (!waitFor([&] { return console.exposuresWritten() > 0; }, ConsoleTimeoutMs))
            return {Outcome::Error, QStringLiteral("the console wrote no report within %1 ms: %2")
                                        .arg(ConsoleTimeoutMs)
                                        .arg(console.lastError())};
        return {Outcome::Ok, QStringLiteral("read RADID=%1, wrote GEN50RFT_A.xml and %2")
                                 .arg(console.lastProcedureCode(), console.lastTriggerFile())};
    });
    command(runner, QStringLiteral("last"));

    session.close();
    console.stop();
    return true;
}

void TLHostDemo::printSummary()
{
    heading(QStringLiteral("summary"));
    int nameWidth = 4;
    for (const Step &step : qAsConst(steps))
        nameWidth = qMax(nameWidth, step.name.size());
    print(QStringLiteral("%1 %2 %3")
              .arg(QStringLiteral("mode"), -9)
              .arg(QStringLiteral("step"), -nameWidth)
              .arg(QStringLiteral("result")));
    int failed = 0;
    int warned = 0;
    for (const Step &step : qAsConst(steps)) {
        failed += step.result.outcome == Outcome::Error ? 1 : 0;
        warned += step.result.outcome == Outcome::Warning ? 1 : 0;
        print(QStringLiteral("%1 %2 %3")
                  .arg(step.part, -9)
                  .arg(step.name, -nameWidth)
                  .arg(TLHostScriptRunner::resultLine(step.result)));
    }
    QString verdict = failed == 0 ? QStringLiteral("all %1 steps succeeded").arg(steps.size())
                                  : QStringLiteral("%1 of %2 steps failed").arg(failed).arg(steps.size());
    if (warned)
        verdict += QStringLiteral(", %1 with a warning").arg(warned);
    if (TLHostInterrupt::requested())
        verdict += QStringLiteral(", interrupted");
    print(verdict);
}
