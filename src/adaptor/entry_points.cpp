#include "adaptor/exports.h"
#include "platform/bl1394.h"

// The library's start status is not examined: a library that failed to start
// fails every later call, and those are reported where they happen.
void initializeAdaptor() {
  CvInitialize();
}

void uninitializeAdaptor() {
  CvTerminate();
}
