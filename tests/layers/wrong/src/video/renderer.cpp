// An output using the runtime and its own folder: allowed.
#include "kolm/clock.h"
#include "video/renderer.h"
#include <SDL.h>
