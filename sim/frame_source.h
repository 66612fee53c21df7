// The frame source: renders the virtual camera's moving test scene in a
// stream's colour coding. A scene repeats every kPhases frames; each phase is
// rendered once per stream format and camera setting and then reused, so that
// serving a frame costs a stamp of its sequence number, not a render.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "camera.h"

namespace sim {

// The scene at sensor position (x, y) of a width x height sensor, for a phase:
// colour bars over the upper two thirds, a grey ramp below with a moving
// orange square. Components 0..1, before the camera's adjustments.
struct SceneColour {
  double r, g, b;
};
SIM_API SceneColour scene(std::uint32_t x, std::uint32_t y, std::uint32_t width,
                          std::uint32_t height, std::uint32_t phase);

class FrameRenderer {
 public:
  static constexpr std::uint32_t kPhases = 8;

  // The frame with this sequence number. The buffer holds exactly
  // format.bytes bytes and stays intact for the next kPhases - 1 calls.
  const std::uint8_t* frame(const StreamFormat& format, const SceneAdjust& adjust,
                            std::uint32_t sequence);

 private:
  struct Slot {
    std::unique_ptr<std::uint8_t[]> data;
    bool valid = false;
  };
  // Encodes image rows [rowBegin, rowEnd) of the scene at a phase into out.
  void render(std::uint8_t* out, std::uint32_t phase, std::uint32_t rowBegin,
              std::uint32_t rowEnd) const;

  StreamFormat format_{};
  SceneAdjust adjust_{};
  // The scene at phase 0; the phases differ from it only in the rows of the
  // moving square, so each phase is a copy with those rows rendered again.
  Slot base_;
  std::array<Slot, kPhases> slots_{};
};

}  // namespace sim
