#pragma once

// How the host's detector side answers a question with a time limit:
// agree at once, agree after some milliseconds, or never (the asker waits its full limit).
class TLHostAnswer
{
public:
    static TLHostAnswer atOnce() { return TLHostAnswer(0); }
    static TLHostAnswer after(int milliseconds) { return TLHostAnswer(milliseconds); }
    static TLHostAnswer never() { return TLHostAnswer(Never); }

    // Blocks as the answer says, at most limitMs, and tells whether the host agreed.
    bool wait(int limitMs) const;
    int delayMs() const { return delay; }
    bool isNever() const { return delay == Never; }

private:
    static constexpr int Never = -1;
    explicit TLHostAnswer(int delayMs) : delay(delayMs) {}
    int delay;
};
