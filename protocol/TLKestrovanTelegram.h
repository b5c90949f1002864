#pragma once

#include "TLCondition.h"

#include <QByteArray>
#include <QString>

// The telegram format, without any I/O: two code letters, a 7-bit value text and a check byte
// (XOR of all bytes, OR 0x80) that also ends the telegram.
class TLKestrovanTelegram
{
public:
    // Code and value together, before the check byte.
    static constexpr int MaxPayloadBytes = 30;
    static constexpr quint8 TerminatorBit = 0x80;

    static quint8 checkByte(const QByteArray &payload);

    // Builds the telegram of a code and a value text (',' sent as '.'). The telegram text is
    // the payload without the check byte, for the log. A value that would make the payload
    // longer than MaxPayloadBytes, or that holds a character outside 7-bit ASCII, is refused:
    // bytes stays empty.
    static TLCondition build(quint16 code, const QString &value, QByteArray &bytes, QString &text);

    // Reading a received telegram (check byte included); callers test size() >= 2 first.
    static quint16 code(const QByteArray &telegram);
    static QByteArray value(const QByteArray &telegram);
    static QByteArray text(const QByteArray &telegram);
};
