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
    int LastDotBlock = 0;
    bool TransmitHold = false;
    int DataPacketsSent = 0;
};

}  // namespace kestrel
