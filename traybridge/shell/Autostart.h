#pragma once

#include <QString>

// Whether the tray program starts when this user logs in.
//
// Windows: the value "traybridge" under HKCU's Run key; a value under HKLM's
// Run key (set up for every user) counts as on and cannot be turned off here.
// Elsewhere: XDG autostart entries named traybridge.desktop. The user's entry
// in ~/.config/autostart ($XDG_CONFIG_HOME) decides; without one, a
// system-wide entry in $XDG_CONFIG_DIRS/autostart (/etc/xdg/autostart, which
// the package installs) does. Turning off a system-wide entry writes a user
// entry with Hidden=true; turning it on again removes that entry.
namespace Autostart {

bool isEnabled();
// False with a reason in error when the change could not be made.
bool setEnabled(bool enabled, QString* error);

} // namespace Autostart
