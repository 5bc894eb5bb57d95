#pragma once

#include <cstdio>

// Whether the stream writes to a terminal (where a progress bar can redraw itself).
bool isTerminal(std::FILE* stream);
