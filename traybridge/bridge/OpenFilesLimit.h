#pragma once

// The process's limit on open descriptors (sockets and files).
namespace tb {

// Raises the soft limit to the hard one. Returns false when it cannot.
bool raiseOpenFilesLimit();

// The soft limit in force, or -1 when the platform has none that sockets count against.
long long openFilesLimit();

} // namespace tb
