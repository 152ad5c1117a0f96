#pragma once

namespace kestrel {

// Flags and counters of a download, read by the serial receive handler and
// the window as well.
struct DownloadState {
    bool Downloading = false;    // the transfer loop runs
    bool DownloadDone = false;   // transfer completed, post-download steps running
    bool BootEntered = false;    // serial boot-loader entry done for this download
    bool QuitRequested = false;  // the user pressed Quit
    int BlockCount = 0;
    int LastDotBlock = 0;       // BlockCount when the drive's last "." arrived
    bool TransmitHold = false;  // the drive sent XOFF (or "E"): serial sending is paused
    // Data datagrams sent in this download, resends included. Wider than the
    // drive's 16-bit count so that a long download cannot overflow it.
    int DataPacketsSent = 0;
    // Ethernet blocks the drive holds in this download: its own count of data
    // datagrams received is compared with this (plus one, modulo 65536) to
    // tell a lost acknowledgement from a lost datagram.
    int BlocksDelivered = 0;
};

}  // namespace kestrel
