// Picture files as binary PPM, for builds without libpng (the Windows build).
#include <cstdio>

#include "picture.h"

namespace host {

const char* pictureExtension() {
  return "ppm";
}

bool writePicture(const Picture& picture, const std::string& path, std::string& error) {
  std::string temporary;
  std::FILE* file = openPictureFile(path, temporary, error);
  if (file == nullptr) return false;
  bool ok = std::fprintf(file, "P6\n%d %d\n255\n", picture.width, picture.height) > 0 &&
            std::fwrite(picture.rgb.data(), 1, picture.rgb.size(), file) == picture.rgb.size();
  return commitPictureFile(file, temporary, path, ok, error);
}

}  // namespace host
