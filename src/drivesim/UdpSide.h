#pragma once

#include <QByteArray>
#include <QString>
#include <random>

#include "DriveCore.h"

namespace kestrel::drivesim {

// The drive's Ethernet side: the command datagrams (identity, minor revision,
// the boot loader), the drive query, and in the boot loader the data
// datagrams, each acknowledged, counted and "." every few, with the fault
// options (lost data or acknowledgements, "E", silence) drawn reproducibly.
class UdpSide {
  public:
    explicit UdpSide(DriveCore& core);

    // A datagram the host sent to the drive's address and port.
    void hostDatagram(const QByteArray& datagram, const Endpoint& from);
    // The count of data datagrams starts again, as the drive starts afresh.
    void restart() { count_ = 0; }

  private:
    void note(TranscriptEntry::Kind kind, const QString& text);
    void command(const QByteArray& datagram, const Endpoint& from);
    void countQuery(const Endpoint& from);
    void driveQuery(const Endpoint& from);
    void data(const QByteArray& datagram, const Endpoint& from);
    void store(Reception& r, const QByteArray& payload, const Endpoint& from, bool dropAck);
    void reply(const QByteArray& datagram, const Endpoint& to, const QString& what);

    DriveCore& core_;
    const DriveOptions& options_;
    int count_ = 0;  // data datagrams stored since the start datagram
    std::mt19937 random_;
};

}  // namespace kestrel::drivesim
