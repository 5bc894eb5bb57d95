#pragma once

#include "ServiceTypes.h"

// The process list of the system: tool-help snapshot and process handles on
// Windows (ProcessTable_win.cpp), /proc and pid file descriptors elsewhere
// (ProcessTable_posix.cpp).
namespace proctable {
using Handle = void*;

// A snapshot of all processes; walk it with first() and next().
Handle createSnapshot();
bool first(Handle snapshot, PwDword& processId);
bool next(Handle snapshot, PwDword& processId);
void closeSnapshot(Handle snapshot);

// nullptr when the process cannot be opened (gone, or no right to query it).
Handle openForQuery(PwDword processId);
// The full executable path into buffer; size holds the buffer's size on entry
// and the path's length on success. Fails when the path does not fit.
bool queryFullImageName(Handle process, char* buffer, PwDword& size);

Handle openForTerminate(PwDword processId);
bool terminate(Handle process, unsigned exitCode);

void close(Handle process);

// Case-insensitive comparison of two paths, no other normalisation.
int compareNoCase(const char* a, const char* b);

// Whether the process (imageName: its full image path) was started through the
// program the setting names. Windows: the two paths are equal, letter case
// aside. POSIX, where the setting is often a virtual environment's link to a
// shared interpreter: the image is the setting's (or, for a link, its target),
// and the file the process was started through lies in the setting's folder.
bool startedThrough(Handle process, const char* imageName, const char* setting);
} // namespace proctable
