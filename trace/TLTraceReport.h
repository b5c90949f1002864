#pragma once

#include "TLTraceEvent.h"
#include "TLTraceSummary.h"

#include <QList>
#include <QString>

#include <cstdio>
#include <limits>

// What kestrovan-trace tells: each event on standard output as it comes (a plain line or a JSON
// object), the summary at the end, and the timeline picture when one is asked for.
class TLTraceReport
{
public:
    // Which events are printed; the summary and the picture count and show them all.
    enum class Lines { All, Deviations, None };

    // keep: the events are kept for the picture.
    TLTraceReport(bool json, Lines lines, bool keep);

    // Each line is flushed at once, for a person or a program watching the line live.
    void setLive(bool on) { live = on; }
    void event(const TLTraceEvent &event);
    void finish();
    // Telegrams seen each way (a telegram written again counts once), bytes that form none not
    // counted.
    int telegrams() const;
    // The picture shows only the events from fromUs to toUs (times since the trace began), and at
    // most MaxPictureEvents of them.
    void setPictureWindow(qint64 fromUs, qint64 toUs);
    // Writes the picture, and on standard error what it leaves out; false with a message on
    // standard error when it cannot be written.
    bool picture(const QString &path, const QString &title) const;

    // About 2 MB of SVG: a longer picture is more than a viewer shows or a reader follows.
    static constexpr int MaxPictureEvents = 5000;

    // A line of text on a stream, flushed.
    static void print(FILE *stream, const QString &text);

private:
    bool json;
    Lines lines;
    bool keep;
    bool live = false;
    bool printed = false; // an event's line: a blank line parts the summary from it
    TLTraceSummary summary;
    QList<TLTraceEvent> kept;
    qint64 fromUs = 0;
    qint64 toUs = std::numeric_limits<qint64>::max();
    int before = 0; // events left out of the picture before its window
    int after = 0;  // and after it
};
