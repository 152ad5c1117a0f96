#pragma once

#include "platform/FileDialog.h"
#include "report/Reporter.h"
#include "state/Choices.h"
#include "state/FirmwareState.h"

class QIODevice;

namespace kestrel {

// The "Open Firmware File..." button: choose the file, remember its path,
// read and show its header.
class FirmwareChooser {
  public:
    FirmwareChooser(FileDialog& dialog, Reporter& report, const Choices& choices,
                    FirmwareState& state)
        : dialog_(dialog), report_(report), choices_(choices), state_(state) {}

    void OpenPrograms_Click();
    // Reads and shows the header of the file at `path` as a choice in the
    // dialog does, but leaves the remembered path alone. True when both
    // header fields were read.
    bool loadFile(const QString& path);

  private:
    void choose();
    bool showHeader(QIODevice& file);
    void showError(const QString& description);

    FileDialog& dialog_;
    Reporter& report_;
    const Choices& choices_;
    FirmwareState& state_;
};

}  // namespace kestrel
