#pragma once

#include <QString>

class QEventLoop;
class TLHostScriptRunner;

// The interactive prompt, used when standard input is a terminal: line editing, a history
// kept in ~/.kestrovan_host_history, completion of commands and value names, and "help".
// Input is read as it arrives while the host's event loop runs, so alarms and the reaction to
// a lost link appear while the prompt waits.
class TLHostPrompt
{
public:
    explicit TLHostPrompt(TLHostScriptRunner &runner);
    ~TLHostPrompt();
    TLHostPrompt(const TLHostPrompt &) = delete;
    TLHostPrompt &operator=(const TLHostPrompt &) = delete;

    // Runs until "quit", the end of input (Ctrl-D) or an interrupt.
    void run();

    // True when the program was built with a line-editing library.
    static bool hasLineEditing();
    static QString historyFile();

    static constexpr int HistoryLines = 500;

private:
    void onLine(char *line);
    void readInput();
    void finish();
    static void lineHandler(char *line);

    TLHostScriptRunner &runner;
    QEventLoop *loop = nullptr;
    bool done = false;
    bool lineDone = false; // a whole line was handed over by the last read
    QByteArray pending;    // input without line editing, up to its line feed
    static TLHostPrompt *current;
};
