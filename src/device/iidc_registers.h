// IIDC control and status registers the module touches, as offsets from the
// camera's command register base.
#pragma once

#include <cstdint>

namespace csr {

constexpr std::uint32_t kTriggerInquiry = 0x530;  // TRIGGER_INQ
constexpr std::uint32_t kTriggerMode = 0x830;     // TRIGGER_MODE

}  // namespace csr
