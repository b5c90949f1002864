#include "TLHostProcess.h"

#include <QDeadlineTimer>

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

bool TLHostProcess::waitForLine(const QString &line, int timeoutMs)
{
    for (QDeadlineTimer deadline(timeoutMs); !outputLines().contains(line);
         child.waitForReadyRead(ReadStepMs)) {
        if (deadline.hasExpired() || child.state() == QProcess::NotRunning)
            return false;
    }
    return true;
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

QStringList TLHostProcess::outputLines()
{
    collect();
    return QString::fromUtf8(out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
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
