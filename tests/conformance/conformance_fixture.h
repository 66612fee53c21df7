// The conformance tests' fixture: the module loaded from this program's
// folder, initialized, its hardware discovered through the conformance host.
#pragma once

#include <gtest/gtest.h>

#include "host_records.h"

namespace conformance_host {

// The identifier the module gives Brightness_Value.
constexpr std::uint32_t kBrightnessValue = 0x80050000;

class ConformanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ck::setManagerFactory(makeManager);
    ck::clearReports();
    ck::clearViolations();
    managersDestroyed = 0;
    blocksBefore_ = ck::liveBlocks();
    locksBefore_ = ck::liveLocks();
    const std::string path = programDirectory() + kModuleFile;
    library_ = openLibrary(path);
    ASSERT_NE(nullptr, library_) << "cannot load " << path;
    initializeAdaptor_ = entryPoint<contract::InitializeAdaptor>(library_, "initializeAdaptor");
    uninitializeAdaptor_ =
        entryPoint<contract::UninitializeAdaptor>(library_, "uninitializeAdaptor");
    getAvailHW_ = entryPoint<contract::GetAvailHW>(library_, "getAvailHW");
    getDeviceAttributes_ =
        entryPoint<contract::GetDeviceAttributes>(library_, "getDeviceAttributes");
    createInstance_ = entryPoint<contract::CreateInstance>(library_, "createInstance");
    ASSERT_TRUE(initializeAdaptor_ && uninitializeAdaptor_ && getAvailHW_ && getDeviceAttributes_ &&
                createInstance_);
    initializeAdaptor_();
    getAvailHW_(&hardware_);
  }

  void TearDown() override {
    for (Self adaptor : adaptors_) DestroyAdaptor(adaptor);
    for (auto& engine : engines_) ReleaseListeners(engine->container);
    // The host releases its device and format entries, and with them the
    // module's objects, before the library is terminated.
    for (const auto& device : hardware_.created) {
      for (const auto& format : device->created) destroyModuleObject(format->data);
      destroyModuleObject(device->data);
    }
    hardware_.created.clear();
    if (uninitializeAdaptor_ != nullptr) uninitializeAdaptor_();
    if (library_ != nullptr) closeLibrary(library_);
    EXPECT_EQ(blocksBefore_, ck::liveBlocks()) << "blocks the module did not give back";
    EXPECT_EQ(locksBefore_, ck::liveLocks()) << "locks or holders the module did not destroy";
    const std::vector<std::string> broken = ck::violations();
    EXPECT_TRUE(broken.empty()) << broken.size() << " broken, first: " << broken.front();
  }

  DeviceEntry& Device(std::uint32_t id) {
    for (DeviceEntry* d : hardware_.devices)
      if (d->id == id) return *d;
    throw std::runtime_error("no device " + std::to_string(id));
  }

  Engine& NewEngine() {
    engines_.push_back(std::make_unique<Engine>());
    return *engines_.back();
  }

  // An adaptor for a device and format, made through createInstance.
  Self Create(Engine& engine, std::uint32_t device, const char* format) {
    Self adaptor = createInstance_(&engine, &Device(device), format);
    if (adaptor != nullptr) adaptors_.push_back(adaptor);
    return adaptor;
  }

  void DestroyAdaptor(Self adaptor) {
    std::erase(adaptors_, adaptor);
    adaptorSlots(adaptor).destroyAndFree(adaptor);
  }

  // The device properties getDeviceAttributes declares for a device, moved
  // into an engine's container as a host does.
  void DeclareInto(Engine& engine, std::uint32_t device) {
    PropertyFactory factory;
    SourceList sources;
    TriggerList triggers;
    getDeviceAttributes_(&Device(device), "", &factory, &sources, &triggers);
    for (auto& p : factory.created) engine.container.properties.push_back(std::move(p));
  }

  static void ReleaseListeners(PropertyContainer& container) {
    for (auto& p : container.properties) {
      destroyModuleObject(p->getter);
      for (Self listener : p->listeners) destroyModuleObject(listener);
      p->getter = nullptr;
      p->listeners.clear();
    }
  }

  static std::int32_t ReadInteger(Property& property) {
    std::int32_t value = -1;
    EXPECT_NE(nullptr, property.getter) << property.name;
    if (property.getter != nullptr)
      contract::slotsOf<contract::GetterSlots>(property.getter)
          .getValue(property.getter, &property, &value);
    return value;
  }

  static double ReadDouble(Property& property) {
    double value = -1;
    EXPECT_NE(nullptr, property.getter) << property.name;
    if (property.getter != nullptr)
      contract::slotsOf<contract::GetterSlots>(property.getter)
          .getValue(property.getter, &property, &value);
    return value;
  }

  // Stores a value as the host does, then tells the property's listeners.
  static void Write(Property& property, std::int32_t value) {
    std::memcpy(property.stored, &value, sizeof value);
    for (Self listener : property.listeners)
      contract::slotsOf<contract::SetterSlots>(listener).notify(listener, &property,
                                                                property.stored);
  }

  // Opens, captures until count frames were counted, stops and closes, as a host does.
  static void Acquire(Self adaptor, Manager& m, std::uint64_t count) {
    const contract::AdaptorSlots& a = adaptorSlots(adaptor);
    ASSERT_TRUE(a.openDevice(adaptor));
    m.open = true;
    m.target = count;
    m.active = true;
    ASSERT_TRUE(a.startCapture(adaptor));
    m.acquiring = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (m.counted < count && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(count, m.counted.load());
    EXPECT_TRUE(a.stopCapture(adaptor));
    m.acquiring = false;
    m.active = false;
    EXPECT_TRUE(a.closeDevice(adaptor));
    m.open = false;
  }

  HardwareList hardware_;
  std::vector<std::unique_ptr<Engine>> engines_;
  std::vector<Self> adaptors_;
  void* library_ = nullptr;
  contract::InitializeAdaptor initializeAdaptor_ = nullptr;
  contract::UninitializeAdaptor uninitializeAdaptor_ = nullptr;
  contract::GetAvailHW getAvailHW_ = nullptr;
  contract::GetDeviceAttributes getDeviceAttributes_ = nullptr;
  contract::CreateInstance createInstance_ = nullptr;
  std::size_t blocksBefore_ = 0;
  std::size_t locksBefore_ = 0;
};

}  // namespace conformance_host
