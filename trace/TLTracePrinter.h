#pragma once

#include "TLTraceEvent.h"

#include <QJsonObject>
#include <QString>

// One line per event: plain text for a person, or one JSON object for a script.
//
//   01:53:55.114228 RX  78 79 30 41 30 31 f1  xy ExposureState (exposure state) = 0A01: prepare on,
//                       prepare key  [ack 50.5 ms]
//
// (on one line); deviations follow after "!!".
class TLTracePrinter
{
public:
    // The hexadecimal column is padded to this many bytes.
    static constexpr int HexColumnBytes = 8;

    // The decoded meaning: code, command name and meaning, the value and what it means.
    static QString description(const TLTraceEvent &event);
    // The shorter form for a picture: code, command name, value and what it means.
    static QString label(const TLTraceEvent &event);
    static QString plainLine(const TLTraceEvent &event);
    static QJsonObject json(const TLTraceEvent &event);
};
