#pragma once

namespace tb {

// Ends the whole process at once with the given exit code, from any thread.
// Pending diagnostic output is flushed; no destructors run, so other threads
// cannot race a teardown.
[[noreturn]] void endProcess(int exitCode);

} // namespace tb
