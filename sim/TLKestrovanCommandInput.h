#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

// Where kestrovan-sim's commands come from: standard input until it ends, and a FIFO for as long
// as the program runs, so that it can run in the background, under CI or as a service and still
// be steered (echo "error 105" > FIFO). Lines from both are run one at a time in the order they
// arrive. The run ends with "quit" from either, or with SIGINT or SIGTERM between two commands;
// the end of standard input does not end it.
class TLKestrovanCommandInput
{
public:
    enum class End { Quit, Signal, Failed };
    // Runs one command line; false when it ends the session ("quit").
    using Execute = std::function<bool(const QString &line)>;
    // A remark about the input itself, not the answer to a command.
    using Report = std::function<void(const QString &text)>;

    // A longer line is no command: it is reported and passed over.
    static constexpr int MaxLineBytes = 65536;

    // input: the descriptor read until its end (standard input), or -1 for none.
    TLKestrovanCommandInput(int input, Report report);
    // Closes the FIFO and removes it when it was made here; gives the signals back.
    ~TLKestrovanCommandInput();
    TLKestrovanCommandInput(const TLKestrovanCommandInput &) = delete;
    TLKestrovanCommandInput &operator=(const TLKestrovanCommandInput &) = delete;

    // Takes commands written into the FIFO at path as well; makes it (for the user only) when it
    // is missing. False with errorString() when path is something else or cannot be opened.
    bool openFifo(const QString &path);
    // From now on SIGINT and SIGTERM end run(). A reader of the output that goes away (SIGPIPE)
    // and a read from the terminal in the background (SIGTTIN) no longer stop the program. One
    // object at a time catches them.
    void catchSignals();
    End run(const Execute &execute);
    // The signal that ended run().
    int endingSignal() const;
    QString errorString() const { return error; }

private:
    struct Source
    {
        int fd = -1;
        QString name;
        QByteArray pending;    // the start of a line not yet ended
        bool overlong = false; // passing over the rest of a line that was too long
    };

    // Reads what is there; false when the source has ended. Runs the lines it completes.
    bool readFrom(Source &source, const Execute &execute, bool &quit);
    // Runs the complete lines in pending (all of it at the end); false after "quit".
    bool runLines(Source &source, const Execute &execute, bool atEnd);

    Report report;
    std::vector<Source> sources;
    int wakeRead = -1;
    int wakeWrite = -1;
    int fifoFd = -1;
    QString fifoPath; // set when the FIFO was made here
    bool catching = false;
    QString error;
};
