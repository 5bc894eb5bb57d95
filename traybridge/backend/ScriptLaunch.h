#pragma once

#include <string>
#include <vector>

// Starts one outside program for the launcher without tying its life to the
// tray program: its standard output and error are appended to a log file (not
// a pipe), its standard input is empty, and a program still running when the
// wait ends is left running, with its children. Qt-free; one implementation
// per platform (ScriptLaunch_posix.cpp, ScriptLaunch_win.cpp).
namespace ScriptLaunch {

enum class End
{
    NotStarted,  // missing file, no rights
    Exited,      // ended within the wait; exitCode holds its code
    Crashed,     // ended by a signal within the wait
    StillRunning // still running when the wait ended; left running
};

struct Outcome
{
    End end = End::NotStarted;
    int exitCode = 1;
};

// program, args and logPath in UTF-8. When the log cannot be opened for
// appending, the output is discarded and the program starts all the same.
// A Windows command script (.bat, .cmd) runs through the command interpreter.
Outcome run(const std::string& program, const std::vector<std::string>& args, const std::string& logPath,
            int waitMs);

} // namespace ScriptLaunch
