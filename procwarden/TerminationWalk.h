#pragma once

#include <string>

// Ends every process started through imagePath (proctable::startedThrough:
// on Windows, whose full executable path equals imagePath, letter case aside).
// Quiet mode logs one line per process ended, verbose mode one line for every
// process of the snapshot.
void terminationWalk(const std::string& imagePath, bool verbose);
