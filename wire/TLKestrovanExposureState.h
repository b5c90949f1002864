#pragma once

#include <QByteArray>

// The value of an exposure-state telegram ("xy"): the state S and the key byte K of the hand
// switch, two hexadecimal digits each, and the release answers the driver gives to two of the
// states.
class TLKestrovanExposureState
{
public:
    enum State : int {
        Break = 0x00,
        Error = 0x01,
        PrepareOn = 0x0A, // answered with PrepareAccepted
        Prepare = 0x0C,
        PrepareReady = 0x0D,
        WaitForExposure = 0x0E,
        ExposureCheck = 0x10, // answered with ExposureAccepted
        ExposureWait = 0x11,
        ExposureOn = 0x12,
        ExposureOff = 0x14
    };
    static constexpr int PrepareKeyBit = 0x01;
    static constexpr int ExposureKeyBit = 0x02;
    // Values of "xr"; refusing is saying nothing.
    static constexpr const char *PrepareAccepted = "41";
    static constexpr const char *ExposureAccepted = "81";

    // Reads the first four characters; a shorter value is not valid and reads as state 0 with no
    // key, which callers must not act on.
    static TLKestrovanExposureState read(const QByteArray &value);

    bool isValid() const { return m_valid; }
    int state() const { return m_state; }
    int keys() const { return m_keys; }
    bool prepareKey() const { return (m_keys & PrepareKeyBit) != 0; }
    bool exposureKey() const { return (m_keys & ExposureKeyBit) != 0; }

private:
    bool m_valid = false;
    int m_state = 0;
    int m_keys = 0;
};
