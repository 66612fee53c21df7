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
  std::string started;           // the run's start, UTC (ISO 8601)
};

// ImageJ=1.x, images=, frames=, finterval= (seconds between pages, from their
// time stamps), and the first page's number and time.
std::string imagejDescription(const StackFacts& facts);
// OME-XML: one image of SizeT pages, each page a Plane with its DeltaT in
// seconds from the first.
std::string omeXml(const StackFacts& facts);

}  // namespace tool
