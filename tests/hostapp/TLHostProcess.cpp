#include "TLHostProcess.h"

#include <QElapsedTimer>

TLHostProcess::TLHostProcess()
{
    child.setProgram(program());
}

QString TLHostProcess::program()
{
    return QStringLiteral(KESTROVAN_HOST_PROGRAM);
}

QString TLHostProcess::driverPlugin()
{
    return QStringLiteral(KESTROVAN_DRIVER_PLUGIN);
}

bool TLHostProcess::start(const QStringList &arguments, const QByteArray &script, bool keepInputOpen)
{
    child.setArguments(arguments);
    child.start();
    if (!child.waitForStarted(10000))
        return false;
    if (!script.isEmpty())
        child.write(script);
    if (!keepInputOpen)
        child.closeWriteChannel();
    return true;
}

void TLHostProcess::write(const QByteArray &text)
{
    child.write(text);
    child.waitForBytesWritten(5000);
}

void TLHostProcess::closeInput()
{
    child.closeWriteChannel();
}

void TLHostProcess::collect()
{
    out += child.readAllStandardOutput();
    err += child.readAllStandardError();
}

bool TLHostProcess::waitForLine(const QString &line, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        collect();
        if (outputLines().contains(line))
            return true;
        if (timer.elapsed() > timeoutMs || child.state() == QProcess::NotRunning)
            return false;
        child.waitForReadyRead(100);
    }
}

bool TLHostProcess::finish(int timeoutMs)
{
    const bool finished = child.waitForFinished(timeoutMs);
    if (!finished) {
        child.kill();
        child.waitForFinished(5000);
    }
    collect();
    return finished;
}

bool TLHostProcess::run(const QStringList &arguments, const QByteArray &script)
{
    return start(arguments, script) && finish();
}

QStringList TLHostProcess::outputLines()
{
    collect();
    QStringList lines = QString::fromUtf8(out).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QString TLHostProcess::errorText()
{
    collect();
    return QString::fromUtf8(err);
}
