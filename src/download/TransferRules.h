#pragma once

#include <QString>

namespace kestrel {

// What SendDataBlock tells the download sequence: the codes 0 to 4 it has
// always returned, and two of ours. Delivered lets it go on; every other
// result ends the download with the message that belongs to it.
enum class BlockResult {
    Delivered = 0,
    DriveError = 1,    // the drive sent "E"
    NoCountReply = 2,  // Ethernet: no acknowledgement, count queries unanswered
    NoAck = 3,         // Ethernet: sent five times, never acknowledged
    SendTimeout = 4,   // serial: the output queue or an XOFF hold did not end
    PortNotOpen = 5,   // serial: nothing was sent
    Stopped = 6,       // the session is shutting down; the drive was left alone
};

// What a byte the drive sends during a transfer means, tested in this order.
enum class DriveByte {
    HoldOn,   // XOFF
    HoldOff,  // XON
    Dot,      // "." progress mark
    Ignored,  // LF
    LineEnd,  // CR: shown as LF CR
    Error,    // "E"
    Text,     // anything else: shown as it is
};

DriveByte classifyDriveByte(unsigned char byte);

// Whether the drive's count of data datagrams received says it holds the
// block just sent: it should then have one more than the blocks delivered
// before it. The count travels in 16 bits, so it wraps at 65536. Lost and
// resent datagrams do not enter into it, so a block the drive already holds
// is never sent twice.
bool driveHasBlock(int driveCount, int blocksDelivered);
// The count the drive should report once `blocks` blocks have reached it.
int expectedDriveCount(int blocks);

}  // namespace kestrel
