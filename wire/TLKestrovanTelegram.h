#pragma once

#include "TLCondition.h"

#include <QByteArray>
#include <QList>
#include <QString>

// One telegram of the line, without any I/O: two code letters, a 7-bit value text and a check
// byte (XOR of all bytes before it, OR 0x80). The check byte is the only byte with bit 7 set, so
// it also ends the telegram; the receiver acknowledges a telegram by echoing it.
//
// A value type: built from a code and a value, or made from the bytes received.
class TLKestrovanTelegram
{
public:
    static constexpr quint8 TerminatorBit = 0x80;
    // Code and value together, before the check byte.
    static constexpr int MaxPayloadBytes = 30;
    static constexpr int MaxBytes = MaxPayloadBytes + 1;
    // A received piece shorter than this is a lone terminator: an acknowledgement, never a
    // telegram.
    static constexpr int MinBytes = 2;

    TLKestrovanTelegram() = default;
    // A received telegram, check byte included.
    explicit TLKestrovanTelegram(const QByteArray &bytes) : m_bytes(bytes) {}

    // The telegram of a code and a value text (',' sent as '.'). A value that would make the
    // payload longer than MaxPayloadBytes, or that holds a character outside 7-bit ASCII, is
    // refused: the result has no bytes and refusal() says why.
    static TLKestrovanTelegram build(quint16 code, const QString &value);

    bool isEmpty() const { return m_bytes.isEmpty(); }
    TLCondition refusal() const { return m_refusal; }
    QByteArray bytes() const { return m_bytes; }
    // Reading: callers make sure of MinBytes first.
    quint16 code() const;
    // The two code letters, the value between them and the check byte, and the text the log
    // shows: everything but the check byte.
    QByteArray letters() const { return m_bytes.left(2); }
    QByteArray value() const;
    QByteArray text() const { return m_bytes.left(m_bytes.size() - 1); }
    quint8 terminator() const { return m_bytes.isEmpty() ? 0 : static_cast<quint8>(m_bytes.back()); }
    // The last byte is the check byte of the bytes before it.
    bool hasRightCheckByte() const;

    static quint8 checkByte(const QByteArray &payload);
    static bool isTerminator(char byte) { return (static_cast<quint8>(byte) & TerminatorBit) != 0; }

    // A byte stream cut at its terminators: each piece ends at the first terminator after the
    // previous one; rest holds the bytes after the last terminator.
    struct Cut
    {
        QList<QByteArray> pieces;
        QByteArray rest;
    };
    static Cut cut(const QByteArray &bytes);
    // Whether a received message acknowledges the telegram: it starts with the telegram's
    // terminator.
    static bool isAcknowledgement(const QByteArray &message, const QByteArray &telegram);

private:
    QByteArray m_bytes;
    TLCondition m_refusal;
};
