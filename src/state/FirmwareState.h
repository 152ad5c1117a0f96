#pragma once

#include <QString>

namespace kestrel {

// The chosen firmware file: its path (the dialog's file name, which the
// download re-opens) and the two numbers of its header. The numbers stay
// within the 16-bit signed range the drive protocol carries them in.
struct FirmwareState {
    QString path;
    int FileModelCode = 0;
    int FileRevNumber = 0;
    // Whether the download goes ahead with a file whose model number is in
    // no row of the family table. The window's rules let such a file into
    // every drive; kestrel-flash does only when told to.
    bool unknownModelAllowed = true;
};

}  // namespace kestrel
