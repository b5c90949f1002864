#pragma once

#include "TLTraceEvent.h"
#include "TLTraceSummary.h"

#include <QList>
#include <QString>

#include <cstdio>

// What kestrovan-trace tells: each event on standard output as it comes (a plain line or a JSON
// object), the summary at the end, and the timeline picture when one is asked for.
class TLTraceReport
{
public:
    // live: each line is flushed at once, for a person watching a tap. keep: the events are kept
    // for the picture.
    TLTraceReport(bool json, bool live, bool keep);

    void event(const TLTraceEvent &event);
    void finish();
    // Writes the picture; false with a message on standard error when it cannot be written.
    bool picture(const QString &path, const QString &title) const;

    // A line of text on a stream, flushed.
    static void print(FILE *stream, const QString &text);

private:
    bool json;
    bool live;
    bool keep;
    TLTraceSummary summary;
    QList<TLTraceEvent> kept;
};
