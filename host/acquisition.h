// The host's acquisition objects: a video input made of the module's adaptor,
// the host engine that receives frames, and the adaptor manager that tells the
// adaptor what the host wants.
#pragma once

#include "adaptor_manager.h"
#include "engine.h"
#include "video_input.h"
