// The host kit library: allocation accounting, reports, locks, and the rules
// it holds an adaptor to.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kit.h"

namespace {

class KitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kit::setReportEcho(false);
    kit::clearReports();
    kit::clearViolations();
    before_ = kit::accounting();
  }
  void TearDown() override {
    kit::failAllocation(0);
    kit::setReportEcho(true);
  }
  kit::Accounting before_{};
};

struct Counted : imaqkit::Implements<IMAQInterface> {
  explicit Counted(int* destroyed) : destroyed_(destroyed) {}
  ~Counted() override { ++*destroyed_; }
  int* destroyed_;
};

struct Throws : imaqkit::Implements<IMAQInterface> {
  Throws() { throw 1; }
};

TEST_F(KitTest, BlocksAreCountedUntilFreed) {
  void* a = imaqmalloc(100);
  void* b = imaqmalloc(28);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(before_.liveBlocks + 2, kit::accounting().liveBlocks);
  EXPECT_EQ(before_.liveBytes + 128, kit::accounting().liveBytes);
  imaqfree(a);
  imaqfree(b);
  imaqfree(nullptr);
  EXPECT_EQ(before_.liveBlocks, kit::accounting().liveBlocks);
  EXPECT_EQ(before_.liveBytes, kit::accounting().liveBytes);
  EXPECT_TRUE(kit::violations().empty());
}

TEST_F(KitTest, FreeingTwiceOrAForeignBlockIsABrokenRule) {
  void* a = imaqmalloc(8);
  imaqfree(a);
  imaqfree(a);
  int local = 0;
  imaqfree(&local);
  EXPECT_EQ(2u, kit::violations().size());
}

TEST_F(KitTest, AnAllocationCanBeMadeToFail) {
  kit::failAllocation(2);
  void* first = imaqmalloc(4);
  void* second = imaqmalloc(4);
  void* third = imaqmalloc(4);
  EXPECT_NE(nullptr, first);
  EXPECT_EQ(nullptr, second);
  EXPECT_NE(nullptr, third);
  imaqfree(first);
  imaqfree(third);
  EXPECT_EQ(before_.liveBlocks, kit::accounting().liveBlocks);
}

TEST_F(KitTest, HostObjectsLiveInKitStorageAndGoBackThroughTheirDestructor) {
  int destroyed = 0;
  IMAQInterface* object = imaqNew<Counted>(&destroyed);
  ASSERT_NE(nullptr, object);
  EXPECT_EQ(before_.liveBlocks + 1, kit::accounting().liveBlocks);
  imaqkit::destroy(object);
  EXPECT_EQ(1, destroyed);
  EXPECT_EQ(before_.liveBlocks, kit::accounting().liveBlocks);

  kit::failAllocation(1);
  EXPECT_EQ(nullptr, imaqNew<Counted>(&destroyed));
  EXPECT_EQ(nullptr, imaqNew<Throws>());
  EXPECT_EQ(before_.liveBlocks, kit::accounting().liveBlocks);
  EXPECT_TRUE(kit::violations().empty());
}

TEST_F(KitTest, ReportsAreFormattedAndRecorded) {
  adaptorError(nullptr, "openDevice", "Failed to start: %s (%u)", "busy", 7u);
  adaptorWarn("CorvaneImaq:getAvailHW", "Failed to create camera object.");
  const std::vector<kit::Report> reports = kit::reports();
  ASSERT_EQ(2u, reports.size());
  EXPECT_EQ(kit::ReportKind::kError, reports[0].kind);
  EXPECT_EQ("openDevice", reports[0].source);
  EXPECT_EQ("Failed to start: busy (7)", reports[0].message);
  EXPECT_EQ(kit::ReportKind::kWarning, reports[1].kind);
  EXPECT_EQ("CorvaneImaq:getAvailHW", reports[1].source);
  EXPECT_EQ("Failed to create camera object.", reports[1].message);
}

TEST_F(KitTest, HoldersLockAndReleaseTheirSection) {
  ICriticalSection* section = createCriticalSection();
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  auto worker = [&] {
    for (int i = 0; i < 2000; ++i) {
      IAutoCriticalSection* hold = createAutoCriticalSection(section, true);
      const int now = ++inside;
      if (now > most) most = now;
      --inside;
      imaqkit::destroy(hold);  // releases the lock
    }
  };
  std::thread a(worker), b(worker);
  a.join();
  b.join();
  EXPECT_EQ(1, most.load());

  IAutoCriticalSection* manual = createAutoCriticalSection(section, false);
  manual->enter();
  manual->leave();
  manual->enter();
  imaqkit::destroy(manual);  // still held: the holder lets go
  imaqkit::destroy(section);
  EXPECT_TRUE(kit::violations().empty());
  EXPECT_EQ(before_.liveSections, kit::accounting().liveSections);
}

TEST_F(KitTest, LockMisuseIsABrokenRule) {
  ICriticalSection* section = createCriticalSection();
  IAutoCriticalSection* hold = createAutoCriticalSection(section, false);
  hold->leave();  // not held
  EXPECT_EQ(1u, kit::violations().size());
  hold->enter();
  hold->enter();  // already held
  EXPECT_EQ(2u, kit::violations().size());
  imaqkit::destroy(hold);
  imaqkit::destroy(section);
}

TEST_F(KitTest, TheClockRuns) {
  const double t0 = getCurrentTime();
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_GT(getCurrentTime(), t0);
}

}  // namespace
