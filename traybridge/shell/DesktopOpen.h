#pragma once

#include <QUrl>

// Opens a folder or file with the desktop's own program (QDesktopServices).
//
// When the environment variable TRAYBRIDGE_OPEN_LOG names a file, the URL is
// appended to it as one line instead and counts as opened. Tests use it to see
// what a real run would open.
namespace DesktopOpen {

bool open(const QUrl& url);

} // namespace DesktopOpen
