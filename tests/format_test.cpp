// CorvaneFormat against the camera library's tables and texts.
#include <gtest/gtest.h>

#include <cstring>

#include "device/corvane_format.h"
#include "kit.h"

namespace {

struct Format7 {
  Format7ImageRecord image{};
  Format7InfoRecord info{};
  Format7(std::uint16_t maxWidth, std::uint16_t maxHeight, std::uint16_t unit) {
    image.tag = CV_FORMAT7_IMAGE_TAG;
    image.width = maxWidth;
    image.height = maxHeight;
    image.filterPattern = 3;
    info.tag = CV_FORMAT7_INFO_TAG;
    info.maxWidth = maxWidth;
    info.maxHeight = maxHeight;
    info.widthUnit = info.heightUnit = info.offsetXUnit = info.offsetYUnit = unit;
    info.image = &image;
  }
};

class FormatTest : public ::testing::Test {
 protected:
  void SetUp() override { before_ = kit::accounting().liveBlocks; }
  void TearDown() override { EXPECT_EQ(before_, kit::accounting().liveBlocks); }
  std::size_t before_ = 0;
};

TEST_F(FormatTest, AFixedFormatTakesSizeAndCodingFromTheLibrarysTable) {
  CorvaneFormat* f = imaqNew<CorvaneFormat>(0u, 1u, 4u);
  ASSERT_NE(nullptr, f);
  EXPECT_EQ(0u, f->formatNumber);
  EXPECT_EQ(1u, f->mode);
  EXPECT_EQ(4, f->frameRate);
  EXPECT_EQ(320u, f->width);
  EXPECT_EQ(240u, f->height);
  EXPECT_EQ(2u, f->colorCoding);
  EXPECT_EQ(0, f->filterPattern);
  EXPECT_EQ(nullptr, f->format7Info);
  EXPECT_STREQ("320X240 YUV422 30 FPS", f->name);
  delete f;
}

TEST_F(FormatTest, AFormat7FormatKeepsItsOwnCopiesOfTheRecords) {
  Format7 mode(1280, 960, 4);
  mode.info.offsetXUnit = 0;
  mode.info.offsetYUnit = 0;
  mode.info.widthUnit = 8;
  mode.info.heightUnit = 2;
  CorvaneFormat* mono = imaqNew<CorvaneFormat>(mode.info, 0u);
  CorvaneFormat* raw = imaqNew<CorvaneFormat>(mode.info, 9u);
  ASSERT_NE(nullptr, mono);
  ASSERT_NE(nullptr, raw);
  EXPECT_STREQ("VARIABLE_0 (1280X960) Mono8", mono->name);
  EXPECT_EQ(7u, mono->formatNumber);
  EXPECT_EQ(-1, mono->frameRate);
  EXPECT_EQ(1280u, mono->width);
  EXPECT_EQ(3, mono->filterPattern);
  ASSERT_NE(nullptr, mono->format7Info);
  // Offset units of 0 become the size units in the copy only.
  EXPECT_EQ(8, mono->format7Info->offsetXUnit);
  EXPECT_EQ(2, mono->format7Info->offsetYUnit);
  EXPECT_EQ(0, mode.info.offsetXUnit);
  EXPECT_NE(&mode.image, mono->format7Info->image);
  EXPECT_NE(mono->format7Info->image, raw->format7Info->image);
  mono->format7Info->image->left = 16;
  EXPECT_EQ(0, raw->format7Info->image->left);
  EXPECT_EQ(0, mode.image.left);
  delete mono;
  delete raw;
}

TEST_F(FormatTest, RegionsOfInterest) {
  Format7 mode(640, 480, 4);
  CorvaneFormat* f = imaqNew<CorvaneFormat>(mode.info, 0u);
  ASSERT_NE(nullptr, f);
  const struct {
    int x, y, w, h;
    bool valid;
  } cases[] = {
      {0, 0, 640, 480, true},
      {4, 0, 640, 480, false},
      {2, 0, 320, 240, false},
      {0, 0, 322, 240, false},
      {0, 2, 320, 240, false},
      {0, 0, 320, 242, false},
      {0, 4, 640, 480, false},
      {0, 0, 644, 480, false},
      {320, 240, 320, 240, true},
      {2147483644, 0, 8, 8, false},
      // Nothing empty, negative or before the image's start.
      {0, 0, 0, 0, false},
      {-4, -4, 4, 4, false},
      {0, 0, -8, 480, false},
      {8, 0, -8, 480, false},
      {0, -2, 320, 240, false},
      {0, 0, 320, 0, false},
      {0, 0, 4, 4, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.valid, f->isValidRoi(c.x, c.y, c.w, c.h))
        << c.x << "," << c.y << " " << c.w << "x" << c.h;
  delete f;
}

TEST_F(FormatTest, AModeWithAZeroUnitAcceptsNoRegion) {
  for (int which = 0; which < 4; ++which) {
    Format7 mode(640, 480, 4);
    std::uint16_t* units[] = {&mode.info.widthUnit, &mode.info.heightUnit, &mode.info.offsetXUnit,
                              &mode.info.offsetYUnit};
    *units[which] = 0;
    if (which >= 2) {  // an offset unit of 0 takes the size unit: zero that as well
      *units[which - 2] = 0;
    }
    CorvaneFormat* f = imaqNew<CorvaneFormat>(mode.info, 0u);
    ASSERT_NE(nullptr, f);
    EXPECT_FALSE(f->isValidRoi(0, 0, 320, 240)) << which;
    delete f;
  }
}

TEST_F(FormatTest, AFixedFormatHasNoRegionOfItsOwn) {
  CorvaneFormat* f = imaqNew<CorvaneFormat>(0u, 5u, 4u);
  ASSERT_NE(nullptr, f);
  EXPECT_FALSE(f->isValidRoi(0, 0, 640, 480));
  delete f;
}

}  // namespace
