// A frame's samples at the depth the camera sent them, for files that keep
// them: grey for the mono codings, RGB for the rest (YUV converted, Bayer
// demosaiced), 16 bits a sample for the 16-bit codings and 8 for the others.
// (Pictures for the eye, the contact sheet and the live view, stay 8-bit: picture.h.)
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "acquisition.h"

namespace host {

struct Image {
  int width = 0;
  int height = 0;
  int channels = 0;  // 1 grey, 3 RGB
  int depth = 0;     // bits a sample: 8 or 16
  // width * height * channels samples, row by row. Signed 16-bit samples are
  // kept offset by 32768, as PNG's samples are unsigned.
  std::vector<std::uint16_t> samples;
};

// False for a frame type the host does not know or data shorter than the frame.
bool decodeImage(const Frame& frame, Image& image);

// The image as PNG bytes at its depth; false with the reason.
bool encodeImage(const Image& image, std::vector<std::uint8_t>& png, std::string& error);
// A PNG file of the image at its depth, written whole or not at all; on
// failure error names the file and the cause.
bool writeImage(const Image& image, const std::string& path, std::string& error);
// A PNG file read back (tests): 8 or 16 bits, grey or RGB.
bool readImage(const std::string& path, Image& image, std::string& error);

// Writes bytes to a file whole or not at all: under a temporary name, renamed
// when complete. On failure error names the file and the system's reason.
// beforeRename, when given, runs once the bytes are complete on disk (under
// the temporary name); false from it fails the write with its error as it stands.
// sync: the bytes reach the disk before beforeRename runs.
bool writeFileWhole(const std::string& path, const void* data, std::size_t size, std::string& error,
                    const std::function<bool(std::string&)>& beforeRename = nullptr,
                    bool sync = false);

}  // namespace host
