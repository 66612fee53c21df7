// A host that shares no declaration with the module. Its objects are plain
// records whose first field points at a table of operations laid out in the
// documented order (contract.h); it reaches the module's objects through slot
// indices of their tables; its kit library defines the kit functions by
// symbol name. The module agrees with this host only where it agrees with the
// documented contract: a slot out of order shows as a wrong call (a violation the records
// catch) or a wrong value.
//
// These cases: frames through the engine and its frame buffers, and the trigger setting.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "conformance_fixture.h"

namespace conformance_host {
namespace {

TEST_F(ConformanceTest, FramesReachTheEngineThroughItsSlotsAndTheFrameBuffers) {
  Engine& engine = NewEngine();
  Self adaptor = Create(engine, 1, "640X480 Mono8 60 FPS");
  ASSERT_NE(nullptr, adaptor);
  Manager& m = *engine.manager;
  {
    std::lock_guard<std::mutex> hold(m.regionMutex);
    const int region[4] = {0, 0, 640, 480};
    std::memcpy(m.region, region, sizeof region);
  }
  Acquire(adaptor, m, 3);
  EXPECT_EQ(std::vector<std::string>{"triggerType"}, engine.trigger.asked);
  ASSERT_EQ(3u, engine.delivered.size());
  double last = 1000.0;
  for (std::size_t i = 0; i < engine.delivered.size(); ++i) {
    const FrameBuffer& f = *engine.delivered[i];
    EXPECT_EQ(engine.frames[i].get(), &f) << "delivered in the order they were made";
    EXPECT_EQ(contract::kMono8, f.frameType);
    EXPECT_EQ(std::make_tuple(640, 480), std::make_tuple(f.width, f.height));
    EXPECT_NE(nullptr, f.image);
    EXPECT_EQ(std::make_tuple(640, 480, 0, 0),
              std::make_tuple(f.imageWidth, f.imageHeight, f.offsetX, f.offsetY));
    EXPECT_GT(f.time, last) << "a time the kit's clock gave, later than the one before";
    EXPECT_LE(f.time, ck::lastTime());
    last = f.time;
  }

  // Format 7: the buffer has the region's size and the image is the region.
  Engine& engine7 = NewEngine();
  Self bayer = Create(engine7, 2, "VARIABLE_1 (640X480) Raw8");
  ASSERT_NE(nullptr, bayer);
  adaptorSlots(bayer).setROI(bayer, 0, 0, 320, 240);
  Acquire(bayer, *engine7.manager, 2);
  ASSERT_EQ(2u, engine7.delivered.size());
  for (const FrameBuffer* f : engine7.delivered) {
    EXPECT_EQ(0x06030003u, f->frameType);
    EXPECT_EQ(std::make_tuple(320, 240), std::make_tuple(f->width, f->height));
    EXPECT_EQ(std::make_tuple(320, 240, 0, 0),
              std::make_tuple(f->imageWidth, f->imageHeight, f->offsetX, f->offsetY));
  }
  for (const ck::Report& r : ck::reports()) ADD_FAILURE() << r.source << ": " << r.message;
}

TEST_F(ConformanceTest, AHardwareTriggerIsReadThroughTheTriggerSettingSlots) {
  Engine& engine = NewEngine();
  engine.trigger.type = contract::kHardwareTrigger;
  engine.trigger.condition = 1;
  engine.trigger.source = 1;
  Self adaptor = Create(engine, 2, "VARIABLE_1 (640X480) Raw8");
  ASSERT_NE(nullptr, adaptor);
  Manager& m = *engine.manager;
  const contract::AdaptorSlots& a = adaptorSlots(adaptor);
  ASSERT_TRUE(a.openDevice(adaptor));
  m.open = true;
  // Not armed: the thread takes no frame wait, so the stop is at once.
  EXPECT_TRUE(a.startCapture(adaptor));
  m.acquiring = true;
  const std::vector<std::string> asked = {"triggerType", "triggerCondition", "triggerSource"};
  EXPECT_EQ(asked, engine.trigger.asked);
  EXPECT_TRUE(a.stopCapture(adaptor));
  m.acquiring = false;
  EXPECT_TRUE(a.closeDevice(adaptor));
  m.open = false;
  EXPECT_TRUE(engine.delivered.empty()) << "no pulse, no frame";
}

}  // namespace
}  // namespace conformance_host
