#pragma once

#include "TLHostApplication.h"
#include "TLHostHints.h"

#include <QStringList>

#include <cstdio>
#include <mutex>

class TLHostAlarmProvider;

// The application object of kestrovan-host: the host stand-in, with every line it prints
// stamped on the clock of the serial trace (so that a log lines up with a trace) and copied to
// a log file when one is given. Log lines of the driver and alarms go to standard error, result
// lines to standard output. While a command runs it gathers what the driver reported as a
// warning or an error, and the alarms it raised, so that the result line can quote them.
// Log and alarm calls may come from any thread.
class TLHostConsoleApplication : public TLHostApplication
{
    Q_OBJECT
public:
    TLHostConsoleApplication(int &argc, char **argv);
    ~TLHostConsoleApplication() override;

    // The running application as a console, or null when the application is another.
    static TLHostConsoleApplication *console();
    // "2025-01-31 12:00:00.123456": the serial trace's clock.
    static QByteArray stamp();

    void log(const QString &category, const QString &text, LogLevel level) override;
    QSharedPointer<TLAbstractAlarmProvider> alarm() const override;

    void setLogLevel(LogLevel minLevel);
    // Replaces the file; false with the reason when it cannot be written.
    bool openLogFile(const QString &path, QString &error);
    TLHostHints &hints() { return userHints; }

    // A stamped line to the stream (standard output or error) and to the log file.
    void printLine(FILE *stream, const QString &text);
    // A line of the program itself, on standard error.
    void note(const QString &text) { printLine(stderr, QStringLiteral("kestrovan-host: ") + text); }
    void hint(const QString &text);
    // Only into the log file: the command a result line answers.
    void recordCommand(const QString &line);

    // Gathers the driver's warnings, errors and alarms until takeReports().
    void startGathering();
    QStringList takeReports();

    // Most reports quoted in one result line; the rest are counted.
    static constexpr int MaxReports = 4;

private:
    void onAlarm(const TLCondition &condition, const QString &text, bool flag);
    void write(FILE *stream, const QByteArray &line);
    void gather(const QString &report);

    std::mutex outputMutex; // the streams, the log file and the gathered reports
    FILE *logFile = nullptr;
    LogLevel printLevel = LogLevel::Info;
    bool gathering = false;
    QStringList reports;
    int moreReports = 0;
    TLHostHints userHints;
    QSharedPointer<TLHostAlarmProvider> alarms;
};
