// Picture files as binary PPM, for builds without libpng (the Windows build).
#include <cstdio>

#include "picture.h"

namespace host {

const char* pictureExtension() {
  return "ppm";
}

bool writePicture(const Picture& picture, const std::string& path, std::string& error) {
  const std::string temporary = path + ".part";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    error = path + ": cannot be written";
    return false;
  }
  bool ok = std::fprintf(file, "P6\n%d %d\n255\n", picture.width, picture.height) > 0 &&
            std::fwrite(picture.rgb.data(), 1, picture.rgb.size(), file) == picture.rgb.size();
  return commitPictureFile(file, temporary, path, ok, error);
}

}  // namespace host
