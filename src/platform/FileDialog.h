#pragma once

#include <QString>

namespace kestrel {

struct FileDialogResult {
    enum class Outcome { Chosen, Cancelled, Failed };
    Outcome outcome = Outcome::Cancelled;
    QString path;   // the chosen file's full path when Chosen
    QString error;  // a description a person can act on when Failed
};

// Modal file-open dialog (the window's CommonDialog2).
class FileDialog {
  public:
    virtual ~FileDialog() = default;
    // `initialName` may be a bare name (opens in the current folder) or a full
    // path (opens in its folder). `filter` uses the "Caption|pattern|" form.
    virtual FileDialogResult getOpenFileName(const QString& title, const QString& filter,
                                             const QString& initialName) = 0;
    // Closes the dialog if it is open, as a cancel: the session is ending and
    // must not wait for the person. A dialog never shown has nothing to close.
    virtual void cancel() {}
};

}  // namespace kestrel
