#include "TLTraceReport.h"

#include "TLTracePrinter.h"
#include "TLTraceTimeline.h"

#include <QFile>
#include <QJsonDocument>

namespace {
void write(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
}
} // namespace

TLTraceReport::TLTraceReport(bool json, Lines lines, bool keep) : json(json), lines(lines), keep(keep) {}

int TLTraceReport::telegrams() const
{
    return summary.telegrams(TLTraceChunk::Direction::Tx) + summary.telegrams(TLTraceChunk::Direction::Rx);
}

void TLTraceReport::print(FILE *stream, const QString &text)
{
    write(stream, text);
    std::fflush(stream);
}

void TLTraceReport::event(const TLTraceEvent &event)
{
    if (lines == Lines::All || (lines == Lines::Deviations && !event.findings.isEmpty())) {
        write(stdout, json ? QString::fromUtf8(
                          QJsonDocument(TLTracePrinter::json(event)).toJson(QJsonDocument::Compact))
                           : TLTracePrinter::plainLine(event));
        if (live)
            std::fflush(stdout);
        printed = true;
    }
    summary.add(event);
    if (!keep)
        return;
    if (event.timeUs < fromUs)
        ++before;
    else if (event.timeUs > toUs || kept.size() >= MaxPictureEvents)
        ++after;
    else
        kept.append(event);
}

void TLTraceReport::setPictureWindow(qint64 from, qint64 to)
{
    fromUs = from;
    toUs = to;
}

void TLTraceReport::finish()
{
    if (json)
        print(stdout, QString::fromUtf8(QJsonDocument(summary.json()).toJson(QJsonDocument::Compact)));
    else
        print(stdout, (printed ? QStringLiteral("\n") : QString()) + summary.text().trimmed());
}

bool TLTraceReport::picture(const QString &path, const QString &title) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        print(stderr, QStringLiteral("kestrovan-trace: cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    QString leftOut;
    if (before > 0 || after > 0) {
        const auto seconds = [](qint64 us) { return QString::number(static_cast<double>(us) / 1e6, 'f', 3); };
        leftOut = kept.isEmpty()
                      ? QStringLiteral("the picture shows none of the %1 events").arg(before + after)
                      : QStringLiteral("the picture shows %1 of %2 events (%3 s to %4 s into the trace)")
                            .arg(kept.size())
                            .arg(kept.size() + before + after)
                            .arg(seconds(kept.constFirst().timeUs), seconds(kept.constLast().timeUs));
        leftOut += QStringLiteral(": %1 before and %2 after it left out").arg(before).arg(after);
        print(stderr,
              QStringLiteral("kestrovan-trace: %1; --svg-from and --svg-to choose the part").arg(leftOut));
    }
    if (!TLTraceTimeline(kept, summary, title, leftOut).write(file) || !file.flush()) {
        print(stderr, QStringLiteral("kestrovan-trace: writing %1 failed: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}
