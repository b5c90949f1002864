#pragma once

#include <QString>

// A status word ("st" or "qs") as the generator reports it: a decimal integer in text form.
// Text that is no number reads as 0, so all its bits read as clear.
class TLKestrovanStatusWord
{
public:
    // Status word 1.
    static constexpr int ErrorBit = 0x80; // toggles when the generator's error state changes
    static constexpr int FocusReadyBit = 0x400;
    static constexpr int GeneratorOnBit = 0x1000;
    // Status word 2.
    static constexpr int DapEnabledBit = 0x80;

    explicit TLKestrovanStatusWord(const QString &text) : m_value(text.toInt(&m_isNumber, 10)) {}

    bool isNumber() const { return m_isNumber; }
    int value() const { return m_value; }
    bool has(int bit) const { return (m_value & bit) != 0; }

private:
    bool m_isNumber = false;
    int m_value = 0;
};
