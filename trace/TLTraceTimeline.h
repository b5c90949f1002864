#pragma once

#include "TLTraceEvent.h"
#include "TLTraceSummary.h"

#include <QList>
#include <QString>
#include <QVector>

class QIODevice;
class QXmlStreamWriter;

// The trace as a sequence diagram in SVG: a lane for the host and one for the generator, each
// telegram an arrow at its time with its decoded label, acknowledgements as short ticks,
// deviations in red with their explanation at the right, the exposure states as bands across
// the lanes with the reaction times beside the release answers, and the status polls folded
// into a light strip at the left. Time runs downwards; stretches without anything but polls
// are compressed, and marked as such. A picture of a part of a trace says what it leaves out.
class TLTraceTimeline
{
public:
    // leftOut: what of the trace the events do not cover, shown beside the title; empty for all.
    TLTraceTimeline(const QList<TLTraceEvent> &events, const TLTraceSummary &summary, const QString &title,
                    const QString &leftOut = QString());

    // False when the device could not take it all.
    bool write(QIODevice &device) const;

    // Layout in pixels.
    static constexpr int Width = 1240;
    static constexpr int TopY = 96;
    static constexpr int TimeX = 8;
    static constexpr int PollLeft = 96;
    static constexpr int PollRight = 146;
    static constexpr int BandLeft = 156;
    static constexpr int HostX = 262;
    static constexpr int GeneratorX = 842;
    static constexpr int NoteX = 858;
    static constexpr int RowPx = 18;
    // Busy stretches keep their time scale; longer gaps than IdleUs are drawn CompressedPx high.
    static constexpr double PxPerMs = 0.1;
    static constexpr qint64 IdleUs = 1500000;
    static constexpr int CompressedPx = 48;
    // Labels longer than this many characters are cut (the whole text is in the tooltip).
    static constexpr int LabelChars = 84;
    static constexpr int NoteChars = 56;

private:
    struct Anchor
    {
        qint64 timeUs;
        double y;
    };
    struct Idle
    {
        qint64 fromUs;
        qint64 toUs;
        double top;
        double bottom;
    };

    bool folded(const TLTraceEvent &event) const;
    void lay();
    double yOf(qint64 timeUs) const;
    void writeStyle(QXmlStreamWriter &xml) const;
    void writeFrame(QXmlStreamWriter &xml) const;
    void writeBands(QXmlStreamWriter &xml) const;
    void writeIdle(QXmlStreamWriter &xml) const;
    void writeEvent(QXmlStreamWriter &xml, const TLTraceEvent &event, double y) const;
    void writePoll(QXmlStreamWriter &xml, const TLTraceEvent &event) const;

    QList<TLTraceEvent> events;
    const TLTraceSummary &summary;
    QString title;
    QString leftOut;
    QVector<Anchor> anchors; // by time
    QVector<double> eventY;  // per event; folded polls are placed between the anchors
    QVector<Idle> idle;
    double height = TopY;
};
