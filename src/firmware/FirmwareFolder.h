#pragma once

#include <QString>

namespace kestrel {

// The firmware folder, which holds the remembered-path record "FirmwareFile.txt":
// "C:\Program Files\Veltrane" on Windows, $XDG_DATA_HOME/Veltrane (by default
// ~/.local/share/Veltrane) elsewhere. Looked up on every call, so a changed
// environment takes effect.
QString firmwareFolder();

// Creates the folder when it holds no ordinary file. A folder that cannot be
// created is not an error here: the dialog then proposes its default name and
// writing the record reports the failure.
void prepareFirmwareFolder(const QString& folder);

// The name the dialog starts with: the remembered path, or "Flash.elf.E" when
// there is none or the record cannot be read. Always a full path, a bare name
// taken as lying in the folder, so the dialog opens there without the process
// changing its current folder.
QString proposedFirmwareName(const QString& folder);

// Replaces the record with `path` as one quoted field and CR LF. Returns an
// empty string, or a description of the failure that names the record's path.
QString rememberFirmwarePath(const QString& folder, const QString& path);

}  // namespace kestrel
