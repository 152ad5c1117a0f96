#include "DriveOptions.h"

namespace kestrel::drivesim {

bool isHighSpeedBootLoader(int version) {
    return version == 1 || version == 5 || version == 21 || version == 37 || version == 53;
}

QString validateOptions(const DriveOptions& o) {
    auto byteValue = [](int v) { return v >= 0 && v <= 255; };
    if (!byteValue(o.modelCode)) {
        return QStringLiteral("the model code must be 0 to 255");
    }
    if (!byteValue(o.revision)) {
        return QStringLiteral("the revision must be 0 to 255");
    }
    if (!byteValue(o.bootLoaderVersion)) {
        return QStringLiteral("the boot-loader version must be 0 to 255");
    }
    if (o.normalBitRate <= 0 || o.highSpeedBitRate <= 0) {
        return QStringLiteral("bit rates must be positive");
    }
    if (o.lineRate < 0) {
        return QStringLiteral("the line rate must be 0 (off) or positive");
    }
    if (o.rxBufferSize < 1) {
        return QStringLiteral("the receive buffer must hold at least one byte");
    }
    if (o.xonLevel < 0 || o.xonLevel >= o.xoffLevel || o.xoffLevel > o.rxBufferSize) {
        return QStringLiteral("the levels must satisfy 0 <= XON level < XOFF level <= buffer size");
    }
    if (!(o.drainRate > 0.0)) {
        return QStringLiteral("the drain rate must be positive");
    }
    if (!(o.quietTime > 0.0)) {
        return QStringLiteral("the quiet time must be positive");
    }
    if (o.dotEveryBytes < 0 || o.dotEveryDatagrams < 0) {
        return QStringLiteral("the \".\" cadence must be 0 (never) or positive");
    }
    if (!(o.dropDataFraction >= 0.0 && o.dropDataFraction <= 1.0) ||
        !(o.dropAckFraction >= 0.0 && o.dropAckFraction <= 1.0)) {
        return QStringLiteral("drop fractions must lie between 0 and 1");
    }
    if (o.commandReplyDelay < 0.0 || o.bootEntryDelay < 0.0 || o.restartDelay < 0.0 ||
        o.replyLatency < 0.0) {
        return QStringLiteral("delays must not be negative");
    }
    return {};
}

}  // namespace kestrel::drivesim
