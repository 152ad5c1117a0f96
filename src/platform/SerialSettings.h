#pragma once

#include <QString>
#include <optional>

namespace kestrel {

// A line settings string such as "9600,N,8,1": bit rate, parity letter, data
// bits and stop bits.
struct LineSettings {
    int baudRate = 9600;
    char parity = 'N';  // N, E, O, M or S
    int dataBits = 8;
    int stopBits = 1;  // 1 or 2; "1.5" is taken as 1
};

std::optional<LineSettings> parseLineSettings(const QString& text);

// Time one character takes on the line (start bit, data, parity, stop bits).
double characterSeconds(const LineSettings& settings);

}  // namespace kestrel
