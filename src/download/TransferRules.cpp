#include "TransferRules.h"

namespace kestrel {

DriveByte classifyDriveByte(unsigned char byte) {
    switch (byte) {
        case 0x13:
            return DriveByte::HoldOn;
        case 0x11:
            return DriveByte::HoldOff;
        case '.':
            return DriveByte::Dot;
        case 0x0A:
            return DriveByte::Ignored;
        case 0x0D:
            return DriveByte::LineEnd;
        case 'E':
            return DriveByte::Error;
        default:
            return DriveByte::Text;
    }
}

bool driveHasBlock(int driveCount, int blocksDelivered) {
    return driveCount >= 0 && driveCount == (blocksDelivered + 1) % 65536;
}

}  // namespace kestrel
