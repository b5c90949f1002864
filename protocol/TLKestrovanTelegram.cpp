#include "TLKestrovanTelegram.h"

#include <QCoreApplication>

quint8 TLKestrovanTelegram::checkByte(const QByteArray &payload)
{
    quint8 check = 0;
    for (const char c : payload)
        check ^= static_cast<quint8>(c);
    return check | TerminatorBit;
}

TLCondition TLKestrovanTelegram::build(quint16 code, const QString &value, QByteArray &bytes, QString &text)
{
    bytes.clear();
    text.clear();
    QString sent = value;
    sent.replace(QLatin1Char(','), QLatin1Char('.'));

    QByteArray payload;
    payload.reserve(MaxPayloadBytes + 1);
    payload.append(static_cast<char>(code & 0xFF));
    payload.append(static_cast<char>(code >> 8));
    payload.append(sent.toLatin1());

    if (payload.size() > MaxPayloadBytes)
        return TLCondition::error(
            QCoreApplication::translate("TLKestrovanTelegram", "Der Wert %1 ist zu lang für ein Telegramm.")
                .arg(sent),
            QStringLiteral("%1 bytes, at most %2").arg(payload.size()).arg(MaxPayloadBytes));
    // Only 7-bit characters may stand before the check byte; anything else would end the
    // telegram early on the wire or arrive as another character.
    for (const QChar c : sent) {
        if (c.unicode() >= TerminatorBit)
            return TLCondition::error(
                QCoreApplication::translate("TLKestrovanTelegram",
                                            "Der Wert %1 enthält ein unzulässiges Zeichen.")
                    .arg(sent));
    }
    text = QString::fromLatin1(payload);
    bytes = payload;
    bytes.append(static_cast<char>(checkByte(payload)));
    return TLCondition();
}

quint16 TLKestrovanTelegram::code(const QByteArray &telegram)
{
    return static_cast<quint16>(static_cast<quint8>(telegram.at(0))
                                | (static_cast<quint8>(telegram.at(1)) << 8));
}

QByteArray TLKestrovanTelegram::value(const QByteArray &telegram)
{
    return telegram.size() > 3 ? telegram.mid(2, telegram.size() - 3) : QByteArray();
}

QByteArray TLKestrovanTelegram::text(const QByteArray &telegram)
{
    return telegram.left(telegram.size() - 1);
}
