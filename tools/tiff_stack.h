// A run's frames as one multi-page TIFF stack, page by page as they come: at
// the data's depth (8 or 16 bits; a Bayer mosaic as the sensor gives it, YUV
// as RGB), uncompressed, each page's frame number and time in its
// description. BigTIFF when the stack may pass 4 GB.
//
// The pages' data follow one another with nothing between, as ImageJ reads a
// stack: from the first page's data on, page after page, whatever the other
// directories say. So the directories go in slots reserved between the header
// and the data, for as many pages as the run may take (up to a bound; pages
// past it have their directory after their data, and the stack is no longer
// one run of data). Each page is on the disk before the page before it links
// to it: closed after a failure, or killed, the stack holds exactly the pages
// linked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "acquisition.h"

namespace tool {

class TiffStack {
 public:
  TiffStack() = default;
  ~TiffStack();
  TiffStack(const TiffStack&) = delete;
  TiffStack& operator=(const TiffStack&) = delete;

  // Makes the file and reserves the directories of pagesAtMost pages and
  // textBytes for the stack's description (the space is taken now, not
  // while the camera runs); big: BigTIFF. False with the reason.
  bool open(const std::string& path, bool big, std::uint64_t pagesAtMost, std::uint64_t textBytes,
            std::string& error);
  // Writes a page's data and directory, on the disk but in no reader's
  // sight until link() puts it in the chain: what names the page (its line
  // in a record) goes between the two.
  bool write(const host::Frame& frame, const std::string& description, std::string& error);
  // Links the page write() made; once it returns true the page is in the
  // file for any reader, whatever happens to the process after.
  bool link(std::string& error);
  // Closes the file. A non-empty description replaces the first page's: in
  // space kept for it when it fits (a full disk takes it then), else appended.
  bool close(std::string& error, const std::string& firstDescription = {});
  // Pages in the file.
  std::uint64_t pages() const { return pages_; }
  // Whether close gave the first page the description it was handed.
  bool described() const { return described_; }
  // Whether the pages' data are one run of equal pages, as ImageJ reads them.
  bool contiguous() const { return contiguous_; }
  bool big() const { return big_; }

 private:
  bool writeAt(std::uint64_t at, const void* data, std::size_t size);
  bool writeOffset(std::uint64_t at, std::uint64_t value);
  bool describeFirst(const std::string& text);
  std::string reason() const;

  std::FILE* file_ = nullptr;
  std::string path_;
  bool big_ = false;
  std::uint64_t slots_ = 0;      // directories reserved
  std::uint64_t slotBytes_ = 0;  // each
  std::uint64_t textBytes_ = 0;  // kept for the stack's description
  std::uint64_t end_ = 0;        // the file's size
  std::uint64_t dataEnd_ = 0;    // where the next page's data goes
  std::uint64_t link_ = 0;       // where the link to the next page goes
  std::uint64_t firstText_ = 0;  // the first page's description entry
  std::uint64_t pageBytes_ = 0;  // the first page's data
  std::uint64_t pages_ = 0;
  // The page written and not yet linked.
  struct Written {
    std::uint64_t at = 0, link = 0, text = 0, bytes = 0, dataEnd = 0;
    bool inSlot = false;
  };
  Written written_;
  bool pending_ = false;
  bool contiguous_ = true;
  bool failed_ = false;
  bool described_ = false;
};

// How the stack holds pages of a frame type: samples a pixel, bits a sample,
// signed; false for a type it cannot hold.
bool stackLayout(std::uint32_t frameType, std::uint16_t& samples, std::uint16_t& bits,
                 bool& isSigned);

// Bytes of a page of frames of this type and size (YUV becomes RGB); 0 for a
// type the stack cannot hold.
std::uint64_t stackPageBytes(std::uint32_t frameType, int width, int height);

// Whether a stack of frames of this many bytes each may pass classic TIFF's 4 GB.
bool needsBigTiff(std::uint64_t frames, std::uint64_t frameBytes);

}  // namespace tool
