#pragma once

#include "app/command_line.h"

// Plays options.file with no window and no sound card (the memory presenter
// and the null sound device, which keeps real time) until it ends, or runs
// options.script against the same. Ctrl+C or a termination signal ends
// playback through the usual teardown, so the statistics of what did play
// are still written. Exit status: 0 at the end, 1 when the file cannot be
// played or the statistics cannot be written, 3 when the script failed,
// 128 + the signal's number when one ended it.
int runHeadless(const Options& options);
