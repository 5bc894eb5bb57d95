#pragma once

#include <QString>
#include <QtGlobal>

// Keeps every diagnostic line of the program in a log file as well, each with
// the local date and time and its level, and passes every line on to the
// message output installed before (Qt's default output), unchanged.
//
// The file is opened on the first line and flushed after each one. When a line
// would take it past maxBytes, it is rotated: traybridge.log becomes
// traybridge.log.1, .1 becomes .2, and so on up to keep old files; the oldest
// is dropped. Any thread may write. A file that cannot be written loses its
// lines; the message output still gets them.
namespace LogFile {

constexpr qint64 defaultMaxBytes = 2 * 1024 * 1024;
constexpr int defaultKeep = 3;

// %LOCALAPPDATA%/traybridge/traybridge.log on Windows,
// $XDG_STATE_HOME/traybridge/traybridge.log (by default under
// ~/.local/state) elsewhere.
QString defaultPath();

// Installs the message handler (once; a later call changes the file and the limits).
void install(const QString& path = defaultPath(), qint64 maxBytes = defaultMaxBytes, int keep = defaultKeep);
// Gives the message output back to the handler installed before.
void uninstall();
// The file the lines go to; empty while not installed.
QString path();

} // namespace LogFile
