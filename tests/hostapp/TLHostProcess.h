#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>

#include <functional>

// kestrovan-host as a child process of a test: arguments, a script on its standard input, and
// what it printed.
class TLHostProcess
{
public:
    // Generous for a run that waits out driver time-outs on a loaded machine.
    static constexpr int FinishTimeoutMs = 60000;

    TLHostProcess() { child.setProgram(QStringLiteral(KESTROVAN_HOST_PROGRAM)); }

    QProcess &process() { return child; }
    // The script goes to standard input, which is then closed unless more is to follow.
    bool start(const QStringList &arguments, const QByteArray &script = {}, bool keepInputOpen = false);
    void write(const QByteArray &text);
    void closeInput() { child.closeWriteChannel(); }
    // False after the time, or when the program ended without printing the line (on standard
    // output, without its time stamp) or the text (anywhere on standard error).
    bool waitForLine(const QString &line, int timeoutMs);
    // False after the time, or when the program ended with fewer lines on standard output.
    bool waitForLines(int count, int timeoutMs);
    bool waitForError(const QString &text, int timeoutMs);
    // False when the program had to be killed after the time.
    bool finish(int timeoutMs = FinishTimeoutMs);
    bool run(const QStringList &arguments, const QByteArray &script = {})
    {
        return start(arguments, script) && finish();
    }

    int exitCode() const { return child.exitCode(); }
    bool crashed() const { return child.exitStatus() != QProcess::NormalExit; }
    // Standard output by lines, each without the time stamp it may begin with.
    QStringList outputLines(bool keepStamps = false);
    // The same for standard error.
    QStringList errorLines(bool keepStamps = false);
    QString errorText();

private:
    static QStringList lines(const QByteArray &text, bool keepStamps);
    void collect();
    bool waitFor(const std::function<bool()> &seen, int timeoutMs);

    QProcess child;
    QByteArray out;
    QByteArray err;
};
