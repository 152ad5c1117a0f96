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
};

}  // namespace kestrel
