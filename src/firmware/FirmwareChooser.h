#pragma once

#include "platform/FileDialog.h"
#include "platform/MessageBoxes.h"
#include "platform/WindowView.h"
#include "state/FirmwareState.h"

class QIODevice;

namespace kestrel {

// The "Open Firmware File..." button: choose the file, remember its path,
// read and show its header.
class FirmwareChooser {
  public:
    FirmwareChooser(FileDialog& dialog, MessageBoxes& messages, WindowView& view,
                    FirmwareState& state)
        : dialog_(dialog), messages_(messages), view_(view), state_(state) {}

    void OpenPrograms_Click();

  private:
    void choose();
    void showHeader(QIODevice& file);
    void showError(const QString& description);

    FileDialog& dialog_;
    MessageBoxes& messages_;
    WindowView& view_;
    FirmwareState& state_;
};

}  // namespace kestrel
