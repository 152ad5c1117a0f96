#include "FirmwareChooser.h"

namespace kestrel {

// Choosing and reading the file arrives with the next step of the work.
void FirmwareChooser::OpenPrograms_Click() {}

}  // namespace kestrel
