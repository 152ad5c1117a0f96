#pragma once

#include <QString>

namespace kestrel {

// The chosen firmware file: its path (the dialog's file name) and the two
// numbers of its header.
struct FirmwareState {
    QString path;
    int FileModelCode = 0;
    int FileRevNumber = 0;
};

}  // namespace kestrel
