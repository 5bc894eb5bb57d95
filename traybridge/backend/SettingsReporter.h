#pragma once

// Makes the settings reader report as the tray program does: an "Error!" box
// for every failed read (queued to the GUI thread when the read runs on another
// thread) and a debug line with the name and the value after every read.
void installSettingsReporter();
