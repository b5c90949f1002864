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

TLTraceReport::TLTraceReport(bool json, bool live, bool keep) : json(json), live(live), keep(keep) {}

void TLTraceReport::print(FILE *stream, const QString &text)
{
    write(stream, text);
    std::fflush(stream);
}

void TLTraceReport::event(const TLTraceEvent &event)
{
    write(stdout,
          json ? QString::fromUtf8(QJsonDocument(TLTracePrinter::json(event)).toJson(QJsonDocument::Compact))
               : TLTracePrinter::plainLine(event));
    if (live)
        std::fflush(stdout);
    summary.add(event);
    if (keep)
        kept.append(event);
}

void TLTraceReport::finish()
{
    if (json)
        print(stdout, QString::fromUtf8(QJsonDocument(summary.json()).toJson(QJsonDocument::Compact)));
    else
        print(stdout, QLatin1Char('\n') + summary.text().trimmed());
}

bool TLTraceReport::picture(const QString &path, const QString &title) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        print(stderr, QStringLiteral("kestrovan-trace: cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    if (!TLTraceTimeline(kept, summary, title).write(file) || !file.flush()) {
        print(stderr, QStringLiteral("kestrovan-trace: writing %1 failed: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}
