#include "TLTraceTimeline.h"

#include "TLKestrovanExposureState.h"
#include "TLTraceMeaning.h"
#include "TLTracePrinter.h"

#include <QIODevice>
#include <QStringList>
#include <QXmlStreamWriter>

#include <algorithm>

namespace {
constexpr int LegendY = 40;
constexpr int HeaderY = 80;
constexpr int BottomMarginPx = 40;
constexpr int LabelRaisePx = 4;
constexpr int AckTickPx = 16;
constexpr int AckDropPx = 5;
constexpr int StrayPx = 90;
constexpr int BandOverhangPx = 14;
// A band begins above the arrow of its first state, so that the arrow's label lies inside it.
constexpr int BandRaisePx = 13;
constexpr int TimeOfDayChars = 12; // hh:mm:ss.mmm

const char *const Style = R"(
.page { fill: #fff; }
text { font-family: monospace; font-size: 11px; fill: #222; }
.title { font-size: 14px; font-weight: bold; }
.legend, .time { font-size: 10px; fill: #666; }
.lane { stroke: #333; stroke-width: 1.5; }
.pollrow { fill: #f4f4f4; }
.arrow line { stroke: #1d4f91; stroke-width: 1.2; }
.arrow text { fill: #1d4f91; }
.arrow.poll line { stroke: #c4c4c4; stroke-width: 1; }
.flagged line, .stray line { stroke: #c62828; }
.flagged text, .stray text, .note.flag { fill: #c62828; }
.stray line { stroke-dasharray: 3 2; }
.ack { stroke: #2e7d32; stroke-width: 2; }
.note.reaction { fill: #6a1b9a; }
.band.prepare { fill: #fff4c2; } .band.ready { fill: #ffe0a6; } .band.check { fill: #ffc98f; }
.band.on { fill: #ff9e9e; } .band.end { fill: #9e9e9e; }
.bandlabel { font-size: 10px; font-style: italic; fill: #8a4b00; }
.idle { fill: #fafafa; stroke: #aaa; stroke-dasharray: 4 3; }
.idletext { fill: #777; font-style: italic; }
)";

struct Phase
{
    const char *cssClass;
    const char *name;
};

// The part of the exposure a state belongs to; null for states without one.
const Phase *phaseOf(int state)
{
    static const Phase prepare{"prepare", "prepare"};
    static const Phase ready{"ready", "ready"};
    static const Phase check{"check", "exposure check"};
    static const Phase on{"on", "exposure on"};
    static const Phase off{"end", "exposure off"};
    static const Phase broken{"end", "break"};
    static const Phase failed{"end", "exposure error"};
    switch (state) {
    case TLKestrovanExposureState::PrepareOn:
    case TLKestrovanExposureState::Prepare:
        return &prepare;
    case TLKestrovanExposureState::PrepareReady:
    case TLKestrovanExposureState::WaitForExposure:
        return &ready;
    case TLKestrovanExposureState::ExposureCheck:
    case TLKestrovanExposureState::ExposureWait:
        return &check;
    case TLKestrovanExposureState::ExposureOn:
        return &on;
    case TLKestrovanExposureState::ExposureOff:
        return &off;
    case TLKestrovanExposureState::Break:
        return &broken;
    case TLKestrovanExposureState::Error:
        return &failed;
    default:
        return nullptr;
    }
}

QString cut(const QString &text, int chars)
{
    return text.size() <= chars ? text : text.left(chars - 1) + QChar(0x2026);
}

QString number(double value)
{
    return QString::number(value, 'f', 1);
}

void line(QXmlStreamWriter &xml, double x1, double y1, double x2, double y2,
          const QString &marker = QString())
{
    xml.writeStartElement(QStringLiteral("line"));
    xml.writeAttribute(QStringLiteral("x1"), number(x1));
    xml.writeAttribute(QStringLiteral("y1"), number(y1));
    xml.writeAttribute(QStringLiteral("x2"), number(x2));
    xml.writeAttribute(QStringLiteral("y2"), number(y2));
    if (!marker.isEmpty())
        xml.writeAttribute(QStringLiteral("marker-end"), QStringLiteral("url(#%1)").arg(marker));
    xml.writeEndElement();
}

void text(QXmlStreamWriter &xml, double x, double y, const QString &content,
          const QString &cssClass = QString(), const char *anchor = nullptr)
{
    xml.writeStartElement(QStringLiteral("text"));
    xml.writeAttribute(QStringLiteral("x"), number(x));
    xml.writeAttribute(QStringLiteral("y"), number(y));
    if (!cssClass.isEmpty())
        xml.writeAttribute(QStringLiteral("class"), cssClass);
    if (anchor)
        xml.writeAttribute(QStringLiteral("text-anchor"), QLatin1String(anchor));
    xml.writeCharacters(content);
    xml.writeEndElement();
}

void rect(QXmlStreamWriter &xml, double x, double y, double width, double height, const QString &cssClass)
{
    xml.writeStartElement(QStringLiteral("rect"));
    xml.writeAttribute(QStringLiteral("class"), cssClass);
    xml.writeAttribute(QStringLiteral("x"), number(x));
    xml.writeAttribute(QStringLiteral("y"), number(y));
    xml.writeAttribute(QStringLiteral("width"), number(width));
    xml.writeAttribute(QStringLiteral("height"), number(std::max(height, 1.0)));
    xml.writeEndElement();
}
} // namespace

TLTraceTimeline::TLTraceTimeline(const QList<TLTraceEvent> &given, const TLTraceSummary &summary,
                                 const QString &title, const QString &leftOut)
    : events(given), summary(summary), title(title), leftOut(leftOut)
{
    std::stable_sort(events.begin(), events.end(),
                     [](const TLTraceEvent &a, const TLTraceEvent &b) { return a.timeUs < b.timeUs; });
    lay();
}

bool TLTraceTimeline::folded(const TLTraceEvent &event) const
{
    return event.isStatusPoll() && event.findings.isEmpty();
}

void TLTraceTimeline::lay()
{
    eventY.fill(-1, events.size());
    double y = TopY;
    qint64 lastUs = -1;
    for (int i = 0; i < events.size(); ++i) {
        const TLTraceEvent &event = events.at(i);
        // The first and the last event anchor the time axis even when they are folded.
        const bool anchor = !folded(event) || i == 0 || i == events.size() - 1;
        if (!anchor)
            continue;
        if (lastUs >= 0) {
            const qint64 gapUs = event.timeUs - lastUs;
            const double before = y;
            y += gapUs > IdleUs ? CompressedPx
                                : std::max<double>(RowPx, static_cast<double>(gapUs) / 1000.0 * PxPerMs);
            if (gapUs > IdleUs)
                idle.append({lastUs, event.timeUs, before, y});
        }
        anchors.append({event.timeUs, y});
        lastUs = event.timeUs;
        if (!folded(event))
            eventY[i] = y;
    }
    height = y + BottomMarginPx;
}

double TLTraceTimeline::yOf(qint64 timeUs) const
{
    if (anchors.isEmpty())
        return TopY;
    const auto after = std::upper_bound(anchors.cbegin(), anchors.cend(), timeUs,
                                        [](qint64 t, const Anchor &anchor) { return t < anchor.timeUs; });
    if (after == anchors.cbegin())
        return anchors.constFirst().y;
    const Anchor &a = *(after - 1);
    if (after == anchors.cend() || after->timeUs == a.timeUs)
        return a.y;
    return a.y
           + (after->y - a.y) * static_cast<double>(timeUs - a.timeUs)
                 / static_cast<double>(after->timeUs - a.timeUs);
}

bool TLTraceTimeline::write(QIODevice &device) const
{
    QXmlStreamWriter xml(&device);
    xml.setAutoFormatting(true);
    xml.setAutoFormattingIndent(1);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("svg"));
    xml.writeDefaultNamespace(QStringLiteral("http://www.w3.org/2000/svg"));
    xml.writeAttribute(QStringLiteral("width"), QString::number(Width));
    xml.writeAttribute(QStringLiteral("height"), number(height));
    xml.writeAttribute(QStringLiteral("viewBox"), QStringLiteral("0 0 %1 %2").arg(Width).arg(number(height)));
    writeStyle(xml);
    writeFrame(xml);
    writeBands(xml);
    writeIdle(xml);
    for (int i = 0; i < events.size(); ++i) {
        if (eventY.at(i) < 0)
            writePoll(xml, events.at(i));
        else
            writeEvent(xml, events.at(i), eventY.at(i));
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    return !xml.hasError();
}

void TLTraceTimeline::writeStyle(QXmlStreamWriter &xml) const
{
    xml.writeStartElement(QStringLiteral("defs"));
    const QPair<const char *, const char *> heads[] = {
        {"head", "#1d4f91"}, {"head-red", "#c62828"}, {"head-light", "#c4c4c4"}};
    for (const auto &head : heads) {
        xml.writeStartElement(QStringLiteral("marker"));
        xml.writeAttribute(QStringLiteral("id"), QLatin1String(head.first));
        xml.writeAttribute(QStringLiteral("viewBox"), QStringLiteral("0 0 10 10"));
        xml.writeAttribute(QStringLiteral("refX"), QStringLiteral("10"));
        xml.writeAttribute(QStringLiteral("refY"), QStringLiteral("5"));
        xml.writeAttribute(QStringLiteral("markerWidth"), QStringLiteral("7"));
        xml.writeAttribute(QStringLiteral("markerHeight"), QStringLiteral("7"));
        xml.writeAttribute(QStringLiteral("orient"), QStringLiteral("auto"));
        xml.writeStartElement(QStringLiteral("path"));
        xml.writeAttribute(QStringLiteral("d"), QStringLiteral("M0,0 L10,5 L0,10 z"));
        xml.writeAttribute(QStringLiteral("fill"), QLatin1String(head.second));
        xml.writeEndElement();
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeTextElement(QStringLiteral("style"), QString::fromLatin1(Style));
    rect(xml, 0, 0, Width, height, QStringLiteral("page"));
}

void TLTraceTimeline::writeFrame(QXmlStreamWriter &xml) const
{
    text(xml, TimeX, 20, title, QStringLiteral("title"));
    if (!leftOut.isEmpty())
        text(xml, Width - TimeX, 20, leftOut, QStringLiteral("note flag"), "end");
    text(
        xml, TimeX, LegendY,
        QStringLiteral("time runs down; red: deviation, explained at the right; green tick: acknowledgement; "
                       "bands: exposure states"),
        QStringLiteral("legend"));
    text(xml, TimeX, LegendY + 14,
         QStringLiteral("grey strip: status polls (st?, qs? and their replies) folded; dashed boxes: idle "
                        "stretches longer than %1 s, compressed")
             .arg(static_cast<double>(IdleUs) / 1e6),
         QStringLiteral("legend"));
    rect(xml, PollLeft - 4, HeaderY - 12, PollRight - PollLeft + 8, height - HeaderY,
         QStringLiteral("pollrow"));
    text(xml, (PollLeft + PollRight) / 2.0, HeaderY - 16, QStringLiteral("polls"), QStringLiteral("legend"),
         "middle");
    text(xml, HostX, HeaderY - 4, QStringLiteral("host (TX)"), QString(), "middle");
    text(xml, GeneratorX, HeaderY - 4, QStringLiteral("generator (RX)"), QString(), "middle");
    for (const int x : {HostX, GeneratorX}) {
        xml.writeStartElement(QStringLiteral("line"));
        xml.writeAttribute(QStringLiteral("class"), QStringLiteral("lane"));
        xml.writeAttribute(QStringLiteral("x1"), QString::number(x));
        xml.writeAttribute(QStringLiteral("y1"), QString::number(HeaderY));
        xml.writeAttribute(QStringLiteral("x2"), QString::number(x));
        xml.writeAttribute(QStringLiteral("y2"), number(height - BottomMarginPx / 2.0));
        xml.writeEndElement();
    }
}

void TLTraceTimeline::writeBands(QXmlStreamWriter &xml) const
{
    if (events.isEmpty())
        return;
    const double width = GeneratorX + BandOverhangPx - BandLeft;
    for (const TLTraceSummary::Exposure &exposure : summary.exposures()) {
        const QList<TLTraceSummary::State> &states = exposure.states;
        for (int i = 0; i < states.size(); ++i) {
            // Only the states within the picture's events have a place in it.
            const qint64 timeUs = states.at(i).timeUs;
            const Phase *phase = phaseOf(states.at(i).state);
            if (!phase || timeUs < events.constFirst().timeUs || timeUs > events.constLast().timeUs)
                continue;
            // States of one phase make one band, up to the next phase.
            int next = i + 1;
            while (next < states.size() && phaseOf(states.at(next).state) == phase)
                ++next;
            const double top = yOf(states.at(i).timeUs) - BandRaisePx;
            const double bottom = next < states.size() ? yOf(states.at(next).timeUs) - BandRaisePx : top + 2;
            rect(xml, BandLeft, top, width, bottom - top,
                 QStringLiteral("band ") + QLatin1String(phase->cssClass));
            text(xml, HostX - 6, top + 11, QLatin1String(phase->name), QStringLiteral("bandlabel"), "end");
            i = next - 1;
        }
    }
}

void TLTraceTimeline::writeIdle(QXmlStreamWriter &xml) const
{
    for (const Idle &stretch : idle) {
        int polls = 0;
        auto event = std::upper_bound(events.cbegin(), events.cend(), stretch.fromUs,
                                      [](qint64 timeUs, const TLTraceEvent &e) { return timeUs < e.timeUs; });
        for (; event != events.cend() && event->timeUs < stretch.toUs; ++event)
            polls += folded(*event) && event->query;
        const double top = stretch.top + RowPx / 3.0;
        const double bottom = stretch.bottom - RowPx;
        rect(xml, HostX - BandOverhangPx, top, GeneratorX - HostX + 2 * BandOverhangPx, bottom - top,
             QStringLiteral("idle"));
        text(xml, (HostX + GeneratorX) / 2.0, (top + bottom) / 2.0 + 4,
             QStringLiteral("%1 s compressed: %2 status queries, nothing else")
                 .arg(static_cast<double>(stretch.toUs - stretch.fromUs) / 1e6, 0, 'f', 1)
                 .arg(polls),
             QStringLiteral("idletext"), "middle");
    }
}

void TLTraceTimeline::writeEvent(QXmlStreamWriter &xml, const TLTraceEvent &event, double y) const
{
    const bool tx = event.direction == TLTraceChunk::Direction::Tx;
    const bool flagged = !event.findings.isEmpty();
    const double from = tx ? HostX : GeneratorX;
    const double to = tx ? GeneratorX : HostX;
    const double toward = tx ? 1 : -1;

    text(xml, TimeX, y + 3, event.timeText().left(TimeOfDayChars), QStringLiteral("time"));
    xml.writeStartElement(QStringLiteral("g"));
    const bool telegram = event.kind == TLTraceEvent::Kind::Telegram;
    xml.writeAttribute(
        QStringLiteral("class"),
        QStringLiteral("%1 %2%3").arg(telegram ? QStringLiteral("arrow") : QStringLiteral("stray"),
                                      tx ? QStringLiteral("tx") : QStringLiteral("rx"),
                                      flagged ? QStringLiteral(" flagged") : QString()));
    xml.writeTextElement(QStringLiteral("title"), TLTracePrinter::plainLine(event));
    const QString head = flagged ? QStringLiteral("head-red") : QStringLiteral("head");
    if (telegram) {
        line(xml, from, y, to, y, head);
        text(xml, (HostX + GeneratorX) / 2.0, y - LabelRaisePx, cut(TLTracePrinter::label(event), LabelChars),
             QString(), "middle");
    } else {
        line(xml, from, y, from + toward * StrayPx, y, head);
        text(xml, from + toward * (StrayPx + 6), y + 3, cut(TLTracePrinter::label(event), LabelChars / 2),
             QString(), tx ? "start" : "end");
    }
    xml.writeEndElement();

    if (event.ackDelayUs >= 0) {
        // The echo goes back from the receiver's lane.
        const double ackY = std::max(y + AckDropPx, yOf(event.timeUs + event.ackDelayUs));
        xml.writeStartElement(QStringLiteral("line"));
        xml.writeAttribute(QStringLiteral("class"), QStringLiteral("ack"));
        xml.writeAttribute(QStringLiteral("x1"), number(to));
        xml.writeAttribute(QStringLiteral("y1"), number(ackY));
        xml.writeAttribute(QStringLiteral("x2"), number(to - toward * AckTickPx));
        xml.writeAttribute(QStringLiteral("y2"), number(ackY));
        xml.writeEndElement();
    }
    const bool reaction = event.reactionUs >= 0;
    if (reaction)
        text(xml, NoteX, y + 3,
             QStringLiteral("%1 after %2")
                 .arg(TLTraceEvent::milliseconds(event.reactionUs),
                      TLTraceMeaning::printable(event.reactionTo)),
             QStringLiteral("note reaction"));
    if (flagged) {
        QStringList findings;
        for (const TLTraceEvent::Finding &finding : event.findings)
            findings << finding.text;
        text(xml, NoteX, y + (reaction ? 15 : 3), cut(findings.join(QStringLiteral("; ")), NoteChars),
             QStringLiteral("note flag"));
    }
}

void TLTraceTimeline::writePoll(QXmlStreamWriter &xml, const TLTraceEvent &event) const
{
    const bool tx = event.direction == TLTraceChunk::Direction::Tx;
    const double y = yOf(event.timeUs);
    xml.writeStartElement(QStringLiteral("g"));
    xml.writeAttribute(QStringLiteral("class"),
                       QStringLiteral("arrow poll ") + (tx ? QStringLiteral("tx") : QStringLiteral("rx")));
    xml.writeTextElement(QStringLiteral("title"), TLTracePrinter::plainLine(event));
    line(xml, tx ? PollLeft : PollRight, y, tx ? PollRight : PollLeft, y, QStringLiteral("head-light"));
    xml.writeEndElement();
}
