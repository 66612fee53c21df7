// The camera features the adaptor declares, and the identifiers of the
// properties made from them.
#pragma once

#include <cstdint>

struct FeatureEntry {
  std::uint32_t inquiryId;  // library register id of the feature's inquiry record
  std::uint32_t controlId;  // inquiry id + 0x30000
  const char* name;
};

// Seventeen features, then an entry of zeros that ends the table.
extern const FeatureEntry FeatureTable[18];

// White balance's two halves (U/B and V/R) are one camera register: they
// share its switches, and one absolute register. The other half's control or
// absolute register id, or 0 for any other id.
std::uint32_t sharingRegisterId(std::uint32_t registerId);

// A property's identifier is its feature's inquiry id with one kind marker.
namespace PropertyId {
constexpr std::uint32_t kStateMarker = 0x10000000u;
constexpr std::uint32_t kModeMarker = 0x20000000u;
constexpr std::uint32_t kTypeMarker = 0x40000000u;
constexpr std::uint32_t kValueMarker = 0x80000000u;
constexpr std::uint32_t kAbsoluteValueMarker = 0x81000000u;

enum class Kind { kNone, kAbsoluteValue, kValue, kType, kMode, kState };
struct Decoded {
  Kind kind;
  std::uint32_t registerId;  // absolute register id for kAbsoluteValue, else control register id
};
// The tests are made in the order absolute value, value, type, mode, state.
Decoded decode(std::uint32_t id);
}  // namespace PropertyId
