#pragma once

#include <QString>

// Makes the settings reader report as the tray program does: an "Error!" box
// for every failed read (queued to the GUI thread when the read runs on another
// thread) and a debug line with the name and the value after every read. A
// failed read's box and a critical line also say which store was read and how
// to fill it in (settingsGuidance).
void installSettingsReporter();

// Which store the settings come from (the folder, or the registry key) and how
// to fill in the value name: tb-settings, or the installer on Windows.
QString settingsGuidance(const QString& name);
