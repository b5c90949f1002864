#include "TLKestrovanExposureState.h"

namespace {
constexpr int ValueChars = 4;

// One hexadecimal digit: below 'A' its distance from '0', otherwise its letter value with the
// case bit cleared (so a-f and A-F both give 10-15); only the low 8 bits count. Other characters
// give whatever that arithmetic gives, as they always have.
int digit(char c)
{
    const int code = static_cast<unsigned char>(c);
    return (code < 'A' ? code - '0' : (code & 0x5F) - 55) & 0xFF;
}

int byteAt(const QByteArray &value, int index)
{
    return (digit(value.at(index)) * 16 + digit(value.at(index + 1))) & 0xFF;
}
} // namespace

TLKestrovanExposureState TLKestrovanExposureState::read(const QByteArray &value)
{
    TLKestrovanExposureState read;
    if (value.size() < ValueChars)
        return read;
    read.m_valid = true;
    read.m_state = byteAt(value, 0);
    read.m_keys = byteAt(value, 2);
    return read;
}
