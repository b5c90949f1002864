#include "TLTraceEvent.h"

#include "KestrovanCommand.h"
#include "TLKestrovanTelegram.h"

#include <cmath>

QByteArray TLTraceEvent::code() const
{
    return kind == Kind::Telegram ? bytes.left(2) : QByteArray();
}

QByteArray TLTraceEvent::value() const
{
    return kind == Kind::Telegram ? TLKestrovanTelegram(bytes).value() : QByteArray();
}

bool TLTraceEvent::has(Flag wanted) const
{
    for (const Finding &finding : findings) {
        if (finding.flag == wanted)
            return true;
    }
    return false;
}

void TLTraceEvent::flag(Flag flag, const QString &text)
{
    findings.append({flag, text});
}

QString TLTraceEvent::timeText() const
{
    if (!clock.isEmpty())
        return timeOfDay(clock);
    return QStringLiteral("+%1").arg(static_cast<double>(timeUs) / 1e6, 0, 'f', 6);
}

bool TLTraceEvent::isStatusPoll() const
{
    return kind == Kind::Telegram && (command == Kestrovan::Status1 || command == Kestrovan::Status2)
           && (query || reply);
}

QString TLTraceEvent::flagName(Flag flag)
{
    switch (flag) {
    case Flag::WrongCheckByte:
        return QStringLiteral("wrong-check-byte");
    case Flag::NoTelegram:
        return QStringLiteral("no-telegram");
    case Flag::UnknownCode:
        return QStringLiteral("unknown-code");
    case Flag::Split:
        return QStringLiteral("split");
    case Flag::Repeat:
        return QStringLiteral("repeat");
    case Flag::NoAcknowledgement:
        return QStringLiteral("no-acknowledgement");
    case Flag::GiveUp:
        return QStringLiteral("give-up");
    case Flag::UnsolicitedInWindow:
        return QStringLiteral("unsolicited-in-window");
    case Flag::LoneTerminator:
        return QStringLiteral("lone-terminator");
    case Flag::NoReply:
        return QStringLiteral("no-reply");
    }
    return QString();
}

QString TLTraceEvent::milliseconds(qint64 us)
{
    return QString::number(static_cast<double>(us) / 1000.0, 'f', 1) + QStringLiteral(" ms");
}

QJsonValue TLTraceEvent::jsonMilliseconds(qint64 us)
{
    return us < 0 ? QJsonValue() : QJsonValue(std::round(static_cast<double>(us) / 100.0) / 10.0);
}

QString TLTraceEvent::timeOfDay(const QByteArray &clock)
{
    const int blank = clock.indexOf(' ');
    return QString::fromLatin1(blank < 0 ? clock : clock.mid(blank + 1));
}
