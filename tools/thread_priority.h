// Below the acquisition: a thread that writes frames to disk gives way to the
// one that takes them from the host, so that a loaded machine skips frames
// (counted) rather than letting the camera's frames go unread (lost).
#pragma once

namespace tool {

// Lowers the calling thread's scheduling priority a step below normal. A
// system that refuses leaves it as it was: the run goes on.
void lowerThisThread();

}  // namespace tool
