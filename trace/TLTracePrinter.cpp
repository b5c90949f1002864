#include "TLTracePrinter.h"

#include "TLKestrovanTelegram.h"
#include "TLTraceMeaning.h"

#include <QJsonArray>
#include <QStringList>

#include <cmath>

namespace {
QString valueText(const TLTraceEvent &event)
{
    const QByteArray value = event.value();
    const QString meaning = TLTraceMeaning::valueMeaning(event.command, value);
    QString text = TLTraceMeaning::printable(value);
    if (!meaning.isEmpty())
        text += QStringLiteral(": ") + meaning;
    if (event.reply)
        text += QStringLiteral(", reply after ") + TLTraceEvent::milliseconds(event.roundTripUs);
    if (event.reactionUs >= 0)
        text += QStringLiteral(", %1 after %2")
                    .arg(TLTraceEvent::milliseconds(event.reactionUs),
                         TLTraceMeaning::printable(event.reactionTo));
    return text;
}

QString strayText(const TLTraceEvent &event)
{
    if (event.kind == TLTraceEvent::Kind::LoneTerminator)
        return QStringLiteral("-- lone terminator");
    const quint8 last = static_cast<quint8>(event.bytes.back());
    if (!TLKestrovanTelegram::isTerminator(char(last)))
        return QStringLiteral("-- no telegram: %1 bytes \"%2\" without a terminator")
            .arg(event.bytes.size())
            .arg(TLTraceMeaning::printable(event.bytes));
    return QStringLiteral("-- no telegram: \"%1\" before the terminator %2")
        .arg(TLTraceMeaning::printable(event.bytes.left(event.bytes.size() - 1)))
        .arg(last, 2, 16, QLatin1Char('0'));
}
} // namespace

QString TLTracePrinter::description(const TLTraceEvent &event)
{
    if (event.kind != TLTraceEvent::Kind::Telegram)
        return strayText(event);
    QString text = TLTraceMeaning::printable(event.code()) + QLatin1Char(' ')
                   + TLTraceMeaning::name(event.command) + QStringLiteral(" (")
                   + TLTraceMeaning::meaning(event.command) + QLatin1Char(')');
    if (event.query)
        return text + QStringLiteral(" query");
    if (event.value().isEmpty() && TLTraceMeaning::valueMeaning(event.command, QByteArray()).isEmpty())
        return text;
    return text + QStringLiteral(" = ") + valueText(event);
}

QString TLTracePrinter::label(const TLTraceEvent &event)
{
    if (event.kind != TLTraceEvent::Kind::Telegram)
        return strayText(event).mid(3);
    const QString head =
        TLTraceMeaning::printable(event.code()) + QLatin1Char(' ') + TLTraceMeaning::name(event.command);
    if (event.query)
        return head + QStringLiteral(" query");
    return event.value().isEmpty() && TLTraceMeaning::valueMeaning(event.command, QByteArray()).isEmpty()
               ? head
               : head + QLatin1Char(' ') + valueText(event);
}

QString TLTracePrinter::plainLine(const TLTraceEvent &event)
{
    QString line = QStringLiteral("%1 %2  %3  %4")
                       .arg(event.timeText(), QLatin1String(TLTraceChunk::directionName(event.direction)))
                       .arg(QString::fromLatin1(event.bytes.toHex(' ')), -(HexColumnBytes * 3 - 1))
                       .arg(description(event));
    if (event.ackDelayUs >= 0)
        line += QStringLiteral("  [ack %1]").arg(TLTraceEvent::milliseconds(event.ackDelayUs));
    if (!event.findings.isEmpty()) {
        QStringList texts;
        for (const TLTraceEvent::Finding &finding : event.findings)
            texts << finding.text;
        line += QStringLiteral("  !! ") + texts.join(QStringLiteral("; "));
    }
    return line;
}

QJsonObject TLTracePrinter::json(const TLTraceEvent &event)
{
    static const char *const kinds[] = {"telegram", "no-telegram", "lone-terminator"};
    QJsonObject object{
        {QStringLiteral("time"), QString::fromLatin1(event.clock)},
        {QStringLiteral("elapsed"), std::round(static_cast<double>(event.timeUs)) / 1e6},
        {QStringLiteral("dir"), QLatin1String(TLTraceChunk::directionName(event.direction))},
        {QStringLiteral("kind"), QLatin1String(kinds[static_cast<int>(event.kind)])},
        {QStringLiteral("bytes"), QString::fromLatin1(event.bytes.toHex(' '))},
    };
    if (event.kind == TLTraceEvent::Kind::Telegram) {
        object.insert(QStringLiteral("code"), TLTraceMeaning::printable(event.code()));
        object.insert(QStringLiteral("command"), TLTraceMeaning::name(event.command));
        object.insert(QStringLiteral("meaning"), TLTraceMeaning::meaning(event.command));
        object.insert(QStringLiteral("value"), TLTraceMeaning::printable(event.value()));
        const QString meaning = TLTraceMeaning::valueMeaning(event.command, event.value());
        if (!event.query && !meaning.isEmpty())
            object.insert(QStringLiteral("valueMeaning"), meaning);
        object.insert(QStringLiteral("query"), event.query);
        object.insert(QStringLiteral("reply"), event.reply);
        object.insert(QStringLiteral("checkByteRight"), event.checkByteRight);
        object.insert(QStringLiteral("writes"), event.writes);
    }
    object.insert(QStringLiteral("ackMs"), TLTraceEvent::jsonMilliseconds(event.ackDelayUs));
    if (event.reply)
        object.insert(QStringLiteral("roundTripMs"), TLTraceEvent::jsonMilliseconds(event.roundTripUs));
    if (event.reactionUs >= 0) {
        object.insert(QStringLiteral("reactionMs"), TLTraceEvent::jsonMilliseconds(event.reactionUs));
        object.insert(QStringLiteral("reactionTo"), TLTraceMeaning::printable(event.reactionTo));
    }
    QJsonArray findings;
    for (const TLTraceEvent::Finding &finding : event.findings)
        findings.append(QJsonObject{{QStringLiteral("flag"), TLTraceEvent::flagName(finding.flag)},
                                    {QStringLiteral("text"), finding.text}});
    object.insert(QStringLiteral("flags"), findings);
    return object;
}
