#pragma once

#include <QDialog>
#include <QPointer>
#include <QWidget>

#include "platform/FileDialog.h"

namespace kestrel {

// The window's file-open dialog CommonDialog2, on QFileDialog.
class QtFileDialog final : public FileDialog {
  public:
    void setParent(QWidget* parent) { parent_ = parent; }
    FileDialogResult getOpenFileName(const QString& title, const QString& filter,
                                     const QString& initialName) override;
    void cancel() override;

  private:
    QPointer<QWidget> parent_;
    QPointer<QDialog> open_;
};

// "Qt filter" form of a "Caption|pattern|Caption|pattern|" filter.
QString qtFileFilter(const QString& filter);

}  // namespace kestrel
