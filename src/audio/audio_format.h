#pragma once

// AudioFormat lives with the sound pool in kolm; this name still works for
// code that included it from here.
#include "kolm/audio_format.h"
