#pragma once

#include <QString>

namespace kestrel {

// Name and description the window shows for a drive model code.
struct DriveModelInfo {
    bool known = false;
    QString model;        // "Unknown" when not known
    QString description;  // empty when not known
};

DriveModelInfo lookupDriveModel(int code);

}  // namespace kestrel
