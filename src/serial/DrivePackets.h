#pragma once

#include <QByteArray>
#include <QString>

namespace kestrel {

// The drive's unprompted packets on the serial line: a marker byte that fixes
// the packet's length, then its data bytes. There is no checksum; a packet is
// whole when its length has arrived in time.
namespace DrivePacket {
inline constexpr unsigned char PowerUp = 0xFF;      // revision, model code
inline constexpr unsigned char BootLoader = 0xF0;   // revision or 0xFF, model code, version
inline constexpr unsigned char OtherFamily = 0xEF;  // two unused bytes
inline constexpr unsigned char Revision = 0xF1;     // revision, suffix letter
// Bytes from here up are never shown as text.
inline constexpr unsigned char FirstNonText = 0xEF;
// Seconds a packet may take from its marker to its last byte.
inline constexpr double CompletionSeconds = 0.5;
}  // namespace DrivePacket

inline constexpr char CR = '\r';
inline constexpr char LF = '\n';

bool IsDrivePacketMarker(unsigned char byte);
// Total length of the packet that `marker` starts; 0 for a byte that is no marker.
int DrivePacketLength(unsigned char marker);

// What a byte that arrives outside a packet leaves in the status log: a CR
// becomes a line break, LF and the bytes from 0xEF up leave nothing, every
// other byte shows as its character.
QString StatusTextForByte(unsigned char byte);

// A reply with "?" as its second byte is the drive saying it did not take
// the command; such a reply is dropped. A reply of the CR alone is kept.
bool IsRejectedReply(const QByteArray& reply);

// The revision and model bytes that stand in for a boot-loader packet which
// carries no revision (0xFF): the loaded file's, or revision 0 and model 31
// when no file is loaded. A file whose numbers do not fit a byte counts as no
// file, rather than handing the model table a wrapped-around code.
struct BootLoaderStandIn {
    unsigned char revision;
    unsigned char model;
};
BootLoaderStandIn bootLoaderStandIn(int FileRevNumber, int FileModelCode);

}  // namespace kestrel
