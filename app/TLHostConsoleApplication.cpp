#include "TLHostConsoleApplication.h"

#include "TLHostAlarmProvider.h"
#include "TLTraceChunk.h"

#include <QFile>

#include <cerrno>

namespace {
QString oneLine(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
}

// The driver's text when it gives up on a telegram, in the language in use.
QString giveUpText()
{
    return QCoreApplication::translate("TLKestrovanSerialCommunicator",
                                       "Es trat ein Fehler bei der Kommunikation mit dem Generator auf.");
}

const QString DriverCategory = QStringLiteral("KESTROVAN");
} // namespace

TLHostConsoleApplication::TLHostConsoleApplication(int &argc, char **argv)
    : TLHostApplication(argc, argv),
      alarms(new TLHostAlarmProvider([this](const TLCondition &condition, const QString &text, bool flag) {
          onAlarm(condition, text, flag);
      }))
{
}

TLHostConsoleApplication::~TLHostConsoleApplication()
{
    if (logFile)
        std::fclose(logFile);
}

TLHostConsoleApplication *TLHostConsoleApplication::console()
{
    return qobject_cast<TLHostConsoleApplication *>(QCoreApplication::instance());
}

QByteArray TLHostConsoleApplication::stamp()
{
    return TLTraceChunk::wallClock();
}

void TLHostConsoleApplication::setLogLevel(LogLevel minLevel)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    printLevel = minLevel;
}

bool TLHostConsoleApplication::openLogFile(const QString &path, QString &error)
{
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "w");
    if (!file) {
        error = QStringLiteral("cannot write the log file %1: %2").arg(path, qt_error_string(errno));
        return false;
    }
    std::lock_guard<std::mutex> lock(outputMutex);
    if (logFile)
        std::fclose(logFile);
    logFile = file;
    return true;
}

void TLHostConsoleApplication::log(const QString &category, const QString &text, LogLevel level)
{
    TLHostApplication::log(category, text, level);
    if (level >= LogLevel::Warning && category == DriverCategory)
        gather(QStringLiteral("%1 \"%2\"").arg(QLatin1String(logLevelName(level)), text));
    bool printed = false;
    {
        std::lock_guard<std::mutex> lock(outputMutex);
        printed = level >= printLevel;
    }
    if (printed)
        printLine(stderr, QStringLiteral("%1 %2 %3").arg(QLatin1String(logLevelName(level)), category, text));
}

QSharedPointer<TLAbstractAlarmProvider> TLHostConsoleApplication::alarm() const
{
    return alarms;
}

void TLHostConsoleApplication::onAlarm(const TLCondition &condition, const QString &text, bool flag)
{
    // Recorded as by any host (the demonstration reads them back), then shown.
    TLHostApplication::alarm()->handle(condition, text, flag);
    gather(QStringLiteral("ALARM \"%1\"").arg(condition.text()));
    printLine(stderr, QStringLiteral("ALARM ") + condition.text());
    if (condition.text() == giveUpText())
        hint(userHints.afterGiveUp());
}

void TLHostConsoleApplication::hint(const QString &text)
{
    if (!text.isEmpty())
        printLine(stderr, QStringLiteral("hint: ") + text);
}

void TLHostConsoleApplication::recordCommand(const QString &line)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    if (logFile)
        write(logFile, stamp() + " > " + oneLine(line).toUtf8());
}

void TLHostConsoleApplication::printLine(FILE *stream, const QString &text)
{
    const QByteArray line = stamp() + ' ' + oneLine(text).toUtf8();
    std::lock_guard<std::mutex> lock(outputMutex);
    write(stream, line);
    if (logFile)
        write(logFile, line);
}

void TLHostConsoleApplication::write(FILE *stream, const QByteArray &line)
{
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stream);
    std::fputc('\n', stream);
    // At once: the lines of two streams and two threads stay in the order they happened, and a
    // run that is cut short leaves a complete log.
    std::fflush(stream);
}

void TLHostConsoleApplication::startGathering()
{
    std::lock_guard<std::mutex> lock(outputMutex);
    gathering = true;
    reports.clear();
    moreReports = 0;
}

QStringList TLHostConsoleApplication::takeReports()
{
    std::lock_guard<std::mutex> lock(outputMutex);
    gathering = false;
    QStringList taken;
    taken.swap(reports);
    if (moreReports > 0)
        taken << QStringLiteral("%1 more").arg(moreReports);
    return taken;
}

void TLHostConsoleApplication::gather(const QString &report)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    if (!gathering || reports.contains(report))
        return;
    if (reports.size() < MaxReports)
        reports << report;
    else
        ++moreReports;
}
