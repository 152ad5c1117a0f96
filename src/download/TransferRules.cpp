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

int expectedDriveCount(int blocks) {
    return blocks % 65536;
}

bool driveHasBlock(int driveCount, int blocksDelivered) {
    return driveCount >= 0 && driveCount == expectedDriveCount(blocksDelivered + 1);
}

}  // namespace kestrel
