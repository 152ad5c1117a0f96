#pragma once

#include <QString>

namespace kestrel {

enum class MessageIcon { None, Exclamation, Critical };

// Modal message box with an OK button and the application title as caption.
class MessageBoxes {
  public:
    virtual ~MessageBoxes() = default;
    virtual void show(const QString& text, MessageIcon icon = MessageIcon::None) = 0;
};

}  // namespace kestrel
