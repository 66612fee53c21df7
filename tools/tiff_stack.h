// A run's frames as one multi-page TIFF stack, page by page as they come: at
// the data's depth (8 or 16 bits; a Bayer mosaic as the sensor gives it, YUV
// as RGB), uncompressed, each page's frame number and time in its
// description. BigTIFF when the stack may pass 4 GB. Closed after a failure,
// it holds exactly the pages add accepted, and their chain ends in the file.
#pragma once

#include <cstdint>
#include <string>

#include "acquisition.h"

struct tiff;

namespace tool {

class TiffStack {
 public:
  TiffStack() = default;
  ~TiffStack();
  TiffStack(const TiffStack&) = delete;
  TiffStack& operator=(const TiffStack&) = delete;

  // Makes the file; big: BigTIFF. False with the reason.
  bool open(const std::string& path, bool big, std::string& error);
  // Appends a page; once it returns true the page is in the file for any
  // reader, whatever happens to the process after.
  bool add(const host::Frame& frame, const std::string& description, std::string& error);
  // Closes the file. A non-empty description replaces the first page's
  // (appended, then its entry changed in place: a disk that is full by then
  // leaves the page's own).
  bool close(std::string& error, const std::string& firstDescription = {});
  // Pages in the file.
  std::uint64_t pages() const { return pages_; }
  // Whether close gave the first page the description it was handed.
  bool described() const { return described_; }

 private:
  tiff* tiff_ = nullptr;
  std::string path_;
  std::string reason_;  // the library's last complaint
  std::uint64_t pages_ = 0;
  bool failed_ = false;
  bool described_ = false;
};

// How the stack holds pages of a frame type: samples a pixel, bits a sample,
// signed; false for a type it cannot hold.
bool stackLayout(std::uint32_t frameType, std::uint16_t& samples, std::uint16_t& bits,
                 bool& isSigned);

// Whether a stack of frames of this many bytes each may pass classic TIFF's 4 GB.
bool needsBigTiff(std::uint64_t frames, std::uint64_t frameBytes);

}  // namespace tool
