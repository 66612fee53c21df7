// Picture files and encoded pictures, by stb's image writer on every platform.
#include <cstdio>
#include <filesystem>

#include "image.h"
#include "picture.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#define STBI_WRITE_NO_STDIO
#include <stb/stb_image_write.h>

namespace host {
namespace {

void append(void* context, void* data, int size) {
  auto* bytes = static_cast<std::vector<std::uint8_t>*>(context);
  const auto* from = static_cast<const std::uint8_t*>(data);
  bytes->insert(bytes->end(), from, from + size);
}

bool whole(const Picture& picture) {
  return picture.width > 0 && picture.height > 0 &&
         picture.rgb.size() ==
             static_cast<std::size_t>(picture.width) * static_cast<std::size_t>(picture.height) * 3;
}

}  // namespace

bool encodePng(const Picture& picture, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  return whole(picture) && encodePng8(picture.width, picture.height, 3, picture.rgb.data(), bytes);
}

bool encodePng8(int width, int height, int channels, const std::uint8_t* samples,
                std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  return width > 0 && height > 0 &&
         stbi_write_png_to_func(append, &bytes, width, height, channels, samples,
                                width * channels) != 0;
}

bool encodeJpeg(const Picture& picture, int quality, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  return whole(picture) && quality >= 1 && quality <= 100 &&
         stbi_write_jpg_to_func(append, &bytes, picture.width, picture.height, 3,
                                picture.rgb.data(), quality) != 0;
}

bool writePicture(const Picture& picture, const std::string& path, std::string& error, bool sync) {
  std::vector<std::uint8_t> bytes;
  if (!encodePng(picture, bytes)) {
    error = path + ": the picture cannot be encoded";
    return false;
  }
  return writeFileWhole(path, bytes.data(), bytes.size(), error, nullptr, sync);
}

}  // namespace host
