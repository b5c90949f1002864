#include "TLHostProcess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>

namespace {
constexpr int StartTimeoutMs = 10000;
constexpr int WriteTimeoutMs = 5000;
constexpr int ReadStepMs = 100;
} // namespace

bool TLHostProcess::start(const QStringList &arguments, const QByteArray &script, bool keepInputOpen)
{
    child.setArguments(arguments);
    child.start();
    if (!child.waitForStarted(StartTimeoutMs))
        return false;
    write(script);
    if (!keepInputOpen)
        closeInput();
    return true;
}

void TLHostProcess::write(const QByteArray &text)
{
    child.write(text);
    child.waitForBytesWritten(WriteTimeoutMs);
}

bool TLHostProcess::waitFor(const std::function<bool()> &seen, int timeoutMs)
{
    // waitForReadyRead() wakes for standard output only: step in slices to see standard error.
    for (QDeadlineTimer deadline(timeoutMs); !seen(); child.waitForReadyRead(ReadStepMs)) {
        if (deadline.hasExpired() || child.state() == QProcess::NotRunning)
            return seen();
    }
    return true;
}

bool TLHostProcess::waitForLine(const QString &line, int timeoutMs)
{
    return waitFor([&] { return outputLines().contains(line); }, timeoutMs);
}

bool TLHostProcess::waitForLines(int count, int timeoutMs)
{
    return waitFor([&] { return outputLines().size() >= count; }, timeoutMs);
}

bool TLHostProcess::waitForError(const QString &text, int timeoutMs)
{
    return waitFor([&] { return errorText().contains(text); }, timeoutMs);
}

bool TLHostProcess::finish(int timeoutMs)
{
    const bool finished = child.waitForFinished(timeoutMs);
    if (!finished) {
        child.kill();
        child.waitForFinished(StartTimeoutMs);
    }
    collect();
    return finished;
}

QStringList TLHostProcess::lines(const QByteArray &text, bool keepStamps)
{
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6} "));
    QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (!keepStamps)
        lines.replaceInStrings(stamp, QString());
    return lines;
}

QStringList TLHostProcess::outputLines(bool keepStamps)
{
    collect();
    return lines(out, keepStamps);
}

QStringList TLHostProcess::errorLines(bool keepStamps)
{
    collect();
    return lines(err, keepStamps);
}

QString TLHostProcess::errorText()
{
    collect();
    return QString::fromUtf8(err);
}

void TLHostProcess::collect()
{
    out += child.readAllStandardOutput();
    err += child.readAllStandardError();
}
