// Turning frames into pictures: every host frame type decoded to 8-bit RGB,
// contact sheets, and image files.
#pragma once

#include <cstdint>
#include <cstdio>
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

// Up to 16 pictures scaled into a 4-column sheet, each cell at most cellWidth wide.
Picture contactSheet(const std::vector<Picture>& pictures, int cellWidth);

// The picture file's extension for this build ("png", or "ppm" without libpng).
const char* pictureExtension();
// Writes the picture atomically: a file of that name is either whole or absent.
bool writePicture(const Picture& picture, const std::string& path, std::string& error);

// For the picture writers: opens path's temporary file for writing, or says why not.
std::FILE* openPictureFile(const std::string& path, std::string& temporary, std::string& error);
// For the picture writers: closes the temporary file and, when all went well,
// renames it to path; otherwise removes it and says so in error.
bool commitPictureFile(std::FILE* file, const std::string& temporary, const std::string& path,
                       bool ok, std::string& error);

}  // namespace host
