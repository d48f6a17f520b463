// The runtime reaching up to an output: refused.
#pragma once
#include "kolm/event.h"
#include "video/video_renderer.h"
