// A host that shares no declaration with the module. Its objects are plain
// records whose first field points at a table of operations laid out in the
// documented order (contract.h); it reaches the module's objects through slot
// indices of their tables; its kit library defines the kit functions by
// symbol name. The module agrees with this host only where it agrees with the
// documented contract: a slot out of order shows as a wrong call (a violation the records
// catch) or a wrong value.
//
// These cases: the adaptor's operations, its destruction and the property listeners.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "conformance_fixture.h"

namespace conformance_host {
namespace {

TEST_F(ConformanceTest, EveryAdaptorOperationAnswersThroughItsSlot) {
  Engine& engine = NewEngine();
  Self adaptor = Create(engine, 1, "640X480 Mono8 60 FPS");
  ASSERT_NE(nullptr, adaptor);
  ASSERT_NE(nullptr, engine.manager) << "the adaptor asked the kit for its manager";
  Manager& m = *engine.manager;
  EXPECT_EQ(adaptor, m.adaptor);

  const contract::AdaptorSlots& a = adaptorSlots(adaptor);
  EXPECT_EQ(640, a.getMaxWidth(adaptor));
  EXPECT_EQ(480, a.getMaxHeight(adaptor));
  EXPECT_EQ(contract::kMono8, a.getFrameType(adaptor));
  EXPECT_EQ(1, a.getBandCount(adaptor));
  EXPECT_STREQ("1.0.0", a.getVersion(adaptor));
  ASSERT_NE(nullptr, a.getDescription(adaptor));
  EXPECT_GT(std::strlen(a.getDescription(adaptor)), 10u);

  // A fixed format's region is the kit's: both operations go to the manager.
  {
    std::lock_guard<std::mutex> hold(m.regionMutex);
    const int region[4] = {8, 6, 320, 240};
    std::memcpy(m.region, region, sizeof region);
  }
  int x = -1, y = -1, w = -1, h = -1;
  a.getROI(adaptor, &x, &y, &w, &h);
  EXPECT_EQ(std::make_tuple(8, 6, 320, 240), std::make_tuple(x, y, w, h));
  a.setROI(adaptor, 16, 8, 160, 120);
  EXPECT_EQ(std::make_tuple(16, 8, 160, 120),
            std::make_tuple(m.region[0], m.region[1], m.region[2], m.region[3]));

  // The kit's own operation forwards to the manager.
  m.acquiring = true;
  const int asked = m.acquiringAsked;
  EXPECT_TRUE(a.kitDefault(adaptor));
  m.acquiring = false;
  EXPECT_FALSE(a.kitDefault(adaptor));
  EXPECT_EQ(asked + 2, m.acquiringAsked);

  // Format 7: the region lives in the format and is checked.
  Engine& engine7 = NewEngine();
  Self bayer = Create(engine7, 2, "VARIABLE_1 (640X480) Raw8");
  ASSERT_NE(nullptr, bayer);
  const contract::AdaptorSlots& b = adaptorSlots(bayer);
  EXPECT_EQ(0x06030003u, b.getFrameType(bayer));
  EXPECT_EQ(3, b.getBandCount(bayer));
  b.getROI(bayer, &x, &y, &w, &h);
  EXPECT_EQ(std::make_tuple(0, 0, 640, 480), std::make_tuple(x, y, w, h));
  b.setROI(bayer, 2, 0, 640, 480);
  const std::vector<ck::Report> reports = ck::reports();
  ASSERT_EQ(1u, reports.size());
  EXPECT_TRUE(reports[0].error);
  EXPECT_EQ("setROI", reports[0].source);
  EXPECT_EQ("Unsupported ROI values.", reports[0].message);
  EXPECT_EQ(bayer, reports[0].adaptor);
  b.setROI(bayer, 8, 4, 320, 240);
  b.getROI(bayer, &x, &y, &w, &h);
  EXPECT_EQ(std::make_tuple(8, 4, 320, 240), std::make_tuple(x, y, w, h));

  // Destruction asks the manager to stop and to close, then deletes it.
  DestroyAdaptor(adaptor);
  DestroyAdaptor(bayer);
  EXPECT_EQ(2, managersDestroyed);
  EXPECT_EQ(nullptr, engine.manager);

  ck::clearReports();
  EXPECT_EQ(nullptr, Create(NewEngine(), 1, "no such format"));
  ASSERT_EQ(1u, ck::reports().size());
  EXPECT_EQ("CorvaneImaq:createInstance", ck::reports()[0].source);
}

TEST_F(ConformanceTest, DestructionRequestsStopAndCloseThenDeletesTheManager) {
  Engine& engine = NewEngine();
  Self adaptor = Create(engine, 1, "640X480 Mono8 60 FPS");
  ASSERT_NE(nullptr, adaptor);
  Manager& m = *engine.manager;
  const contract::AdaptorSlots& a = adaptorSlots(adaptor);
  ASSERT_TRUE(a.openDevice(adaptor));
  m.open = true;
  m.target = 1000000;
  m.active = true;
  ASSERT_TRUE(a.startCapture(adaptor));
  m.acquiring = true;
  managerEvents().clear();
  DestroyAdaptor(adaptor);
  const std::vector<std::string> expected = {"requestStop", "requestClose", "deleted"};
  EXPECT_EQ(expected, managerEvents());
  EXPECT_EQ(1, managersDestroyed);
  const std::size_t delivered = engine.delivered.size();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(delivered, engine.delivered.size()) << "no frame after the adaptor is gone";
}

TEST_F(ConformanceTest, ListenersAnswerThroughTheirSlots) {
  Engine& engine = NewEngine();
  DeclareInto(engine, 1);
  auto hostOwn = std::make_unique<Property>("FramesPerTrigger", PropertyType::kInteger);
  hostOwn->device = false;
  engine.container.properties.push_back(std::move(hostOwn));

  Self adaptor = Create(engine, 1, "640X480 Mono8 60 FPS");
  ASSERT_NE(nullptr, adaptor);
  for (const auto& p : engine.container.properties) {
    if (p->device) {
      EXPECT_NE(nullptr, p->getter) << p->name;
      EXPECT_EQ(1u, p->listeners.size()) << p->name;
    } else {
      EXPECT_EQ(nullptr, p->getter) << "a host property gets no getter";
      EXPECT_TRUE(p->listeners.empty()) << "a host property gets no listener";
    }
  }

  Property& brightness = *engine.container.find("Brightness_Value");
  EXPECT_EQ(kBrightnessValue, brightness.id);
  EXPECT_EQ(128, ReadInteger(brightness));
  Write(brightness, 200);
  EXPECT_EQ(200, ReadInteger(brightness));
  EXPECT_EQ(static_cast<double>(0.01f),
            ReadDouble(*engine.container.find("Shutter_Absolute_Value")));
  EXPECT_EQ(1, ReadInteger(*engine.container.find("Gamma_State"))) << "On";
  EXPECT_TRUE(ck::reports().empty());

  // A new adaptor has an empty register cache: it reads what the camera holds.
  DestroyAdaptor(adaptor);
  ReleaseListeners(engine.container);
  Engine& second = NewEngine();
  DeclareInto(second, 1);
  ASSERT_NE(nullptr, Create(second, 1, "640X480 Mono8 60 FPS"));
  EXPECT_EQ(200, ReadInteger(*second.container.find("Brightness_Value")));
}

}  // namespace
}  // namespace conformance_host
