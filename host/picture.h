// Turning frames into pictures: every host frame type decoded to 8-bit RGB,
// contact sheets, and image files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "acquisition.h"

namespace host {

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> rgb;  // width * height * 3
};

// False for a frame type the host does not know or data shorter than the frame.
bool decode(const Frame& frame, Picture& picture);

// A picture scaled down (nearest neighbour) to at most width pixels across.
Picture shrink(const Picture& picture, int width);

// Up to 16 pictures scaled into a 4-column sheet, each cell at most cellWidth wide.
Picture contactSheet(const std::vector<Picture>& pictures, int cellWidth);

// The picture in a file format's bytes: PNG (lossless, the same bytes on every
// platform) or JPEG (quality 1 to 100, for pictures that travel). False when
// the picture is empty or its pixels do not fill it.
bool encodePng(const Picture& picture, std::vector<std::uint8_t>& bytes);
// 8-bit samples, grey (1 channel) or RGB (3), row by row.
bool encodePng8(int width, int height, int channels, const std::uint8_t* samples,
                std::vector<std::uint8_t>& bytes);
bool encodeJpeg(const Picture& picture, int quality, std::vector<std::uint8_t>& bytes);

// Writes the picture as a PNG file atomically: a file of that name is either
// whole or absent. On failure error names the file and the system's reason.
// sync: the bytes reach the disk before the file takes its name.
bool writePicture(const Picture& picture, const std::string& path, std::string& error,
                  bool sync = false);

}  // namespace host
