#pragma once

namespace kestrel {

// The attached drive's model code; 0 = none or not recognised.
struct DriveState {
    int DriveModelCode = 0;
};

}  // namespace kestrel
