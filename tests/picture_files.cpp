// Writes the same pictures on every platform: frames of every frame type the
// host decodes, filled from a fixed seed, as PNG files for the eye and at the
// data's depth, JPEG files and a contact sheet. The test run compares the files this program writes
// natively with those it writes under Wine, byte for byte.
//
//   picture_files OUTDIR
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "frame_types.h"
#include "image.h"
#include "picture.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: picture_files OUTDIR\n");
    return 2;
  }
  const std::string out = argv[1];
  std::error_code ec;
  std::filesystem::create_directories(out, ec);
  const std::uint32_t types[] = {0x11010000, 0x11010004, 0x11010009, 0x03030003, 0x03030001,
                                 0x03030004, 0x01030000, 0x01030006, 0x0103000a, 0x06030000,
                                 0x06030001, 0x06030002, 0x06030003, 0x06030013};
  std::uint64_t state = 0x9E3779B97F4A7C15ull;  // xorshift64, the same on every platform
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return static_cast<std::uint8_t>(state >> 32);
  };
  std::vector<host::Picture> pictures;
  int written = 0;
  for (const std::uint32_t type : types) {
    host::Frame frame;
    frame.frameType = type;
    frame.width = 64;
    frame.height = 48;
    frame.data.resize(host::imageBytes(type, 64, 48));
    // Smooth ramps with noise on top: every channel and both halves of a word vary.
    for (std::size_t i = 0; i < frame.data.size(); ++i)
      frame.data[i] = static_cast<std::uint8_t>((i * 7) / 5 + (next() & 31));
    host::Picture picture;
    if (!host::decode(frame, picture)) {
      std::fprintf(stderr, "picture_files: cannot decode %s\n", host::frameTypeName(type).c_str());
      return 1;
    }
    char name[32];
    std::snprintf(name, sizeof name, "%08x", type);
    std::string error;
    if (!host::writePicture(picture, out + "/" + name + ".png", error)) {
      std::fprintf(stderr, "picture_files: %s\n", error.c_str());
      return 1;
    }
    std::vector<std::uint8_t> jpeg;
    std::FILE* file = std::fopen((out + "/" + name + ".jpg").c_str(), "wb");
    const bool ok = host::encodeJpeg(picture, 80, jpeg) && file != nullptr &&
                    std::fwrite(jpeg.data(), 1, jpeg.size(), file) == jpeg.size();
    if (file != nullptr) std::fclose(file);
    if (!ok) {
      std::fprintf(stderr, "picture_files: %s.jpg cannot be written\n", name);
      return 1;
    }
    host::Image image;
    if (!host::decodeImage(frame, image) ||
        !host::writeImage(image, out + "/" + name + ".depth.png", error)) {
      std::fprintf(stderr, "picture_files: %s.depth.png: %s\n", name, error.c_str());
      return 1;
    }
    written += 3;
    pictures.push_back(picture);
  }
  std::string error;
  if (!host::writePicture(host::contactSheet(pictures, 48), out + "/contact_sheet.png", error)) {
    std::fprintf(stderr, "picture_files: %s\n", error.c_str());
    return 1;
  }
  std::printf("picture_files: %d pictures and a contact sheet in %s\n", written, out.c_str());
  return 0;
}
