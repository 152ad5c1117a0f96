#include "DriveModels.h"

namespace kestrel {

// Filled in with the model table.
DriveModelInfo lookupDriveModel(int /*code*/) { return {false, QStringLiteral("Unknown"), {}}; }

}  // namespace kestrel
