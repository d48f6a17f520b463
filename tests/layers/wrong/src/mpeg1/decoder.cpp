// A path climbing to another path and using another path's codec: refused.
#include "../ogg/ogg_stream.h"
#include "kolm/stream.h"
#include "mpeg1/decoder.h"
#include <theora/theoradec.h>
