// Picture files as PNG, through libpng.
#include <png.h>

#include <cstdio>

#include "picture.h"

namespace host {
namespace {

// libpng reports errors by longjmp: nothing here lives across the jump.
bool encode(png_structp png, png_infop info, std::FILE* file, const Picture& picture) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width),
               static_cast<png_uint_32>(picture.height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 1);
  png_write_info(png, info);
  for (int y = 0; y < picture.height; ++y)
    png_write_row(png, picture.rgb.data() + static_cast<std::size_t>(y) *
                                                static_cast<std::size_t>(picture.width) * 3);
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

const char* pictureExtension() {
  return "png";
}

bool writePicture(const Picture& picture, const std::string& path, std::string& error) {
  std::string temporary;
  std::FILE* file = openPictureFile(path, temporary, error);
  if (file == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  bool ok = png != nullptr && info != nullptr && encode(png, info, file, picture);
  png_destroy_write_struct(&png, &info);
  return commitPictureFile(file, temporary, path, ok, error);
}

}  // namespace host
