// The mean level of a region of a picture file (PNG, JPEG), for tests that
// compare screenshots by their pixels.
//
//   picture_stats FILE X Y WIDTH HEIGHT    prints the mean of R, G and B, 0..255
#include <cstdio>
#include <cstdlib>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#include <stb/stb_image.h>

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: picture_stats FILE X Y WIDTH HEIGHT\n");
    return 2;
  }
  int width = 0, height = 0, channels = 0;
  unsigned char* pixels = stbi_load(argv[1], &width, &height, &channels, 3);
  if (pixels == nullptr) {
    std::fprintf(stderr, "picture_stats: %s: %s\n", argv[1], stbi_failure_reason());
    return 1;
  }
  const int x0 = std::atoi(argv[2]), y0 = std::atoi(argv[3]);
  const int x1 = x0 + std::atoi(argv[4]), y1 = y0 + std::atoi(argv[5]);
  double sum = 0;
  long count = 0;
  for (int y = y0 < 0 ? 0 : y0; y < y1 && y < height; ++y) {
    for (int x = x0 < 0 ? 0 : x0; x < x1 && x < width; ++x) {
      const unsigned char* p = pixels + (static_cast<long>(y) * width + x) * 3;
      sum += p[0] + p[1] + p[2];
      count += 3;
    }
  }
  stbi_image_free(pixels);
  if (count == 0) {
    std::fprintf(stderr, "picture_stats: the region lies outside the %dx%d picture\n", width,
                 height);
    return 1;
  }
  std::printf("%.2f\n", sum / static_cast<double>(count));
  return 0;
}
