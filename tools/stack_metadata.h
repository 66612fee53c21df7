// What a finished stack says of itself on its first page, so that readers
// open it as a time series: ImageJ's description (Fiji, tifffile) or OME-XML
// with a Plane per page and its DeltaT (Bio-Formats, napari).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

struct StackFacts {
  int width = 0, height = 0;
  std::uint16_t samples = 1, bits = 8;
  bool isSigned = false;
  std::vector<double> times;  // each page's time stamp, in page order
  std::uint64_t firstNumber = 0;
  std::string frameType, bayer;  // bayer: empty when no mosaic
  std::string firstUtc;          // the first page's frame, UTC (ISO 8601)
  // The camera's period where it is known (a free-running rate, a virtual
  // trigger's pulses); 0: the pages' mean gap stands in.
  double period = 0;
  std::string firstDescription;  // the first page's own, which the stack's replaces
};

// ImageJ=1.x, images=, frames=, finterval= (the camera's period, or the
// pages' mean gap), and the first page's number and time.
std::string imagejDescription(const StackFacts& facts);
// OME-XML: one image of SizeT pages acquired from the first page's UTC, each
// page a Plane with its DeltaT in seconds from the first; the image's
// Description keeps the first page's own (its frame number, time, layout).
std::string omeXml(const StackFacts& facts);

}  // namespace tool
