#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// kestrovan-host as a child process for the tests: arguments, a script on standard input,
// and what it printed.
class TLHostProcess
{
public:
    // Generous for a run that waits out driver time-outs on a loaded machine.
    static constexpr int FinishTimeoutMs = 90000;

    TLHostProcess();

    static QString program();
    static QString driverPlugin();

    QProcess &process() { return child; }

    // Starts the program; the script goes to its standard input, which is then closed unless
    // keepInputOpen is true.
    bool start(const QStringList &arguments, const QByteArray &script = QByteArray(),
               bool keepInputOpen = false);
    // Writes more of the script (with keepInputOpen).
    void write(const QByteArray &text);
    void closeInput();
    // Waits until standard output holds a line equal to text; false after the time.
    bool waitForLine(const QString &line, int timeoutMs);
    bool finish(int timeoutMs = FinishTimeoutMs);

    // Runs to the end in one call.
    bool run(const QStringList &arguments, const QByteArray &script = QByteArray());

    int exitCode() const { return child.exitCode(); }
    bool crashed() const { return child.exitStatus() != QProcess::NormalExit; }
    QStringList outputLines();
    QString errorText();

private:
    void collect();

    QProcess child;
    QByteArray out;
    QByteArray err;
};
