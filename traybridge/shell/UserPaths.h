#pragma once

#include <QString>

// Where the tray program keeps the files of the user who runs it.
namespace UserPaths {

// The program's state folder: %LOCALAPPDATA%/traybridge on Windows,
// $XDG_STATE_HOME/traybridge (by default ~/.local/state/traybridge) elsewhere.
// Not created here.
QString stateDir();

// The local socket name of the single-instance channel. Windows: the plain
// pipe name "ipc_stablediffusion". Elsewhere the socket lies in the user's
// runtime folder ($XDG_RUNTIME_DIR), so that each desktop session has its own
// copy; without a usable runtime folder, the plain name (in the temporary folder).
QString ipcName();

} // namespace UserPaths
