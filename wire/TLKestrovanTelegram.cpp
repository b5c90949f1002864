#include "TLKestrovanTelegram.h"

#include <QCoreApplication>

quint8 TLKestrovanTelegram::checkByte(const QByteArray &payload)
{
    quint8 check = 0;
    for (const char c : payload)
        check ^= static_cast<quint8>(c);
    return check | TerminatorBit;
}

TLKestrovanTelegram TLKestrovanTelegram::build(quint16 code, const QString &value)
{
    TLKestrovanTelegram telegram;
    QString sent = value;
    sent.replace(QLatin1Char(','), QLatin1Char('.'));

    QByteArray payload;
    payload.reserve(MaxBytes);
    payload.append(static_cast<char>(code & 0xFF));
    payload.append(static_cast<char>(code >> 8));
    payload.append(sent.toLatin1());

    if (payload.size() > MaxPayloadBytes) {
        telegram.m_refusal = TLCondition::error(
            QCoreApplication::translate("TLKestrovanTelegram", "Der Wert %1 ist zu lang für ein Telegramm.")
                .arg(sent),
            QStringLiteral("%1 bytes, at most %2").arg(payload.size()).arg(MaxPayloadBytes));
        return telegram;
    }
    // Only 7-bit characters may stand before the check byte; anything else would end the
    // telegram early on the wire or arrive as another character.
    for (const QChar c : sent) {
        if (c.unicode() >= TerminatorBit) {
            telegram.m_refusal =
                TLCondition::error(QCoreApplication::translate(
                                       "TLKestrovanTelegram", "Der Wert %1 enthält ein unzulässiges Zeichen.")
                                       .arg(sent));
            return telegram;
        }
    }
    telegram.m_bytes = payload;
    telegram.m_bytes.append(static_cast<char>(checkByte(payload)));
    return telegram;
}

quint16 TLKestrovanTelegram::code() const
{
    return static_cast<quint16>(static_cast<quint8>(m_bytes.at(0))
                                | (static_cast<quint8>(m_bytes.at(1)) << 8));
}

QByteArray TLKestrovanTelegram::value() const
{
    return m_bytes.size() > 3 ? m_bytes.mid(2, m_bytes.size() - 3) : QByteArray();
}

bool TLKestrovanTelegram::hasRightCheckByte() const
{
    return m_bytes.size() >= MinBytes && checkByte(text()) == terminator();
}

TLKestrovanTelegram::Cut TLKestrovanTelegram::cut(const QByteArray &bytes)
{
    Cut result;
    int start = 0;
    for (int i = 0; i < bytes.size(); ++i) {
        if (isTerminator(bytes.at(i))) {
            result.pieces.append(bytes.mid(start, i + 1 - start));
            start = i + 1;
        }
    }
    result.rest = bytes.mid(start);
    return result;
}

bool TLKestrovanTelegram::isAcknowledgement(const QByteArray &message, const QByteArray &telegram)
{
    if (message.isEmpty() || telegram.isEmpty())
        return false;
    return isTerminator(message.at(0)) && message.at(0) == telegram.at(telegram.size() - 1);
}
