// Seeded random sequences of what a host does with one or two video inputs of
// one camera (property reads and writes, trigger choices, open, start, stop,
// close, destroy) and of changes the camera makes to its own registers,
// checked after every step against a model of the camera's IIDC registers.
// The model is written from the IIDC register map; the camera's changes are
// invisible to a video input that has its register cached. A failing sequence
// is shrunk and printed with its seed; MODEL_SEED=n repeats one,
// MODEL_SEQUENCES=n sets how many run.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <sstream>

#include "host_fixture.h"
#include "model_sequences.h"

namespace {

using namespace model;

std::uint32_t field(std::uint32_t word, int shift) {
  return word >> shift & 0xFFF;
}

// What a property's identifier names: IIDC register index, value field, kind.
enum class Kind { kState, kMode, kValue, kType, kAbsolute };
struct Target {
  std::uint32_t index;
  int shift;
  Kind kind;
};
Target targetOf(std::uint32_t id) {
  const Kind kind = (id & 0x81000000u) == 0x81000000u ? Kind::kAbsolute
                    : (id & 0x80000000u)              ? Kind::kValue
                    : (id & 0x40000000u)              ? Kind::kType
                    : (id & 0x20000000u)              ? Kind::kMode
                                                      : Kind::kState;
  // Inquiry ids 0x0005XXYY: XX is four times the register index; YY bit 7 marks V/R.
  const std::uint32_t index = (id >> 8 & 0xFF) / 4;
  const int shift = index == 11 || (index == 3 && (id & 0x80) == 0) ? kHighValue : kLowValue;
  return {index, shift, kind};
}

// ---- The model ---------------------------------------------------------------------
struct Cached {                   // one video input's copy of a feature's control register
  bool half[2] = {false, false};  // which value fields are cached (U/B, V/R apart)
  std::uint32_t switches = 0;     // ON_OFF, A_M_Mode, Abs_Control: one for the register
  std::uint32_t value[2] = {0, 0};
};
struct CachedAbsolute {
  float minimum, maximum, value;
};
struct InputModel {
  bool live = false, open = false, acquiring = false;
  int trigger = -1;  // a declared hardware trigger, -1: none
  std::map<std::uint32_t, Cached> controls;
  std::map<std::uint32_t, CachedAbsolute> absolutes;
  std::vector<host::PropertyValue> stored;  // what the host keeps per property
};

// How the trace names a step's fault.
std::string failing(const Step& s) {
  return s.fault == kEveryCall ? " (register calls fail)"
         : s.fault >= 0        ? " (" + std::string(kCalls[s.fault]) + " fails)"
                               : "";
}

class ModelTest : public HostTest {
 protected:
  // Runs one sequence on a fresh camera; the first violation, or empty.
  std::string Run(std::uint64_t seed, const std::vector<Step>& steps, std::string* trace = nullptr);
  static std::uint32_t Peek(std::uint32_t offset) {
    std::uint32_t value = 0;
    sim::readCsr(kCamera, offset, value);
    return value;
  }

  static constexpr std::uint64_t kCamera = sim::cameraId(0x1D);

 private:
  std::uint32_t& Bus(std::uint32_t offset) { return bus_.at(offset); }
  std::uint32_t absoluteOffset(std::uint32_t index) const {
    return kInitialSpace + 4 * Peek(kAbsCsrInq + 4 * index) - kCommandBase + 8;  // its Value
  }
  // A write reaching the camera's control register: it takes the fields its
  // inquiry register says it has, and keeps the others.
  void writeControl(std::uint32_t index, std::uint32_t word);
  void writeTrigger(std::uint32_t word);
  bool triggerPresent() const { return (triggerInquiry_ & 0x80000000u) != 0; }
  // The library record's read through a video input's cache; false when the
  // camera call it needs fails.
  bool readRecord(InputModel& in, const Target& t, Cached& out);
  std::string step(const Step& s, std::string& said);
  std::string check();

  std::map<std::uint32_t, std::uint32_t> bus_;  // the registers the model follows
  std::map<std::uint32_t, std::uint32_t> inquiry_;
  std::uint32_t triggerInquiry_ = 0;
  std::vector<const host::Property*> properties_;
  std::vector<std::size_t> whiteBalance_;  // the properties of white balance, weighted
  std::vector<std::uint32_t> offsets_[3];  // the registers on the bus, by Aim
  std::vector<host::TriggerConfiguration> triggers_;
  InputModel model_[2];
  host::VideoInput* live_[2] = {nullptr, nullptr};
  std::vector<std::string> errors_;  // the error reports the step owes, by operation
  int fault_ = -1, calls_ = 0;       // the step's fault; calls made of its function
  // Whether the step's next call of the library function fails.
  bool fails(Call call) { return fault_ == kEveryCall || (fault_ == call && ++calls_ == 1); }
};

void ModelTest::writeControl(std::uint32_t index, std::uint32_t word) {
  const std::uint32_t inq = inquiry_.at(index);
  std::uint32_t mask =
      (inq & kAbsInq ? kAbs : 0u) | (inq & kOnOffInq ? kOnOff : 0u) | (inq & kAutoInq ? kAuto : 0u);
  if (inq & kManualInq)
    mask |= index == 11 ? 0xFFFu << kHighValue : index == 3 ? 0xFFFFFFu : 0xFFFu;
  std::uint32_t& reg = Bus(kControl + 4 * index);
  reg = (reg & ~mask) | (word & mask);
}

void ModelTest::writeTrigger(std::uint32_t word) {
  const std::uint32_t source = word >> kSourceShift & 7, mode = word >> kModeShift & 0xF;
  const bool sourceOffered = source < 4 && (triggerInquiry_ & (0x00800000u >> source)) != 0;
  const bool modeOffered = mode <= 5    ? (triggerInquiry_ & (0x8000u >> mode)) != 0
                           : mode >= 14 ? (triggerInquiry_ & (1u << (15 - mode))) != 0
                                        : false;
  const std::uint32_t mask = (triggerInquiry_ & kOnOffInq ? kOnOff : 0u) |
                             (triggerInquiry_ & kPolarityInq ? kPolarity : 0u) |
                             (sourceOffered ? 7u << kSourceShift : 0u) |
                             (modeOffered ? 0xFu << kModeShift : 0u) | kParameter;
  std::uint32_t& reg = Bus(kTriggerMode);
  reg = (reg & ~mask) | (word & mask);
}

bool ModelTest::readRecord(InputModel& in, const Target& t, Cached& out) {
  const int half = t.shift == kHighValue ? 0 : 1;
  auto found = in.controls.find(t.index);
  if (found == in.controls.end() || !found->second.half[half]) {
    if (fails(kQuery)) {
      errors_.push_back("GetControlRegister");
      return false;
    }
    Cached& c = in.controls[t.index];
    const std::uint32_t word = Bus(kControl + 4 * t.index);
    // The register is cached once: switches come from the camera only when
    // neither half was cached yet.
    if (!c.half[0] && !c.half[1]) c.switches = word & (kAbs | kOnOff | kAuto);
    c.value[half] = field(word, t.shift);
    c.half[half] = true;
  }
  out = in.controls[t.index];
  out.value[0] = out.value[half];
  return true;
}

std::string ModelTest::check() {
  for (const auto& [offset, word] : bus_) {
    const std::uint32_t camera = Peek(offset);
    if (camera != word) {
      char text[120];
      std::snprintf(text, sizeof text, "register 0x%03x holds 0x%08x, the model 0x%08x", offset,
                    camera, word);
      return text;
    }
  }
  for (int i = 0; i < 2; ++i) {
    if (!model_[i].live) continue;
    host::AdaptorManager& m = live_[i]->manager();
    if (m.isOpen() != model_[i].open || m.isAcquiring() != model_[i].acquiring)
      return "input " + std::to_string(i) + " is " + (m.isOpen() ? "open" : "closed") + " and " +
             (m.isAcquiring() ? "acquiring" : "idle") + " against the model";
  }
  std::vector<std::string> made;
  for (const kit::Report& r : kit::reports())
    if (r.kind == kit::ReportKind::kError) made.push_back(r.source);
  if (made != errors_) {
    std::string text = "errors reported:";
    for (const std::string& e : made) text += " " + e;
    text += "; owed:";
    for (const std::string& e : errors_) text += " " + e;
    return text;
  }
  return "";
}

std::string ModelTest::step(const Step& s, std::string& said) {
  InputModel& in = model_[s.input];
  const std::string who = s.input == 0 ? "A " : "B ";
  std::string error;
  fault_ = s.fault;
  calls_ = 0;
  if (s.op == Op::kPoke) {
    const std::vector<std::uint32_t>& aimed = offsets_[static_cast<int>(s.aim)];
    const std::vector<std::uint32_t>& offsets = aimed.empty() ? offsets_[0] : aimed;
    const std::uint32_t offset = offsets[s.pick % offsets.size()];
    std::uint32_t word = s.choice;
    if (offset >= 0x1000) {  // an absolute value, inside its range
      const float lo = std::bit_cast<float>(Peek(offset - 8)),
                  hi = std::bit_cast<float>(Peek(offset - 4));
      word = std::bit_cast<std::uint32_t>(static_cast<float>(lo + (hi - lo) * s.u));
      Bus(offset) = word;
    } else if (offset == kTriggerMode) {
      writeTrigger(word);
    } else {
      writeControl((offset - kControl) / 4, word);
    }
    char text[64];
    std::snprintf(text, sizeof text, "the camera writes 0x%08x to 0x%03x", word, offset);
    said = text;
    if (!sim::writeCsr(kCamera, offset, word)) return "the camera refused its own change";
    return "";
  }
  // A step on an input that does not exist (yet, or any more) creates it first.
  if (!in.live && s.op != Op::kDestroy) {
    in = InputModel{};
    in.live = true;
    live_[s.input] = &Input("1");
    live_[s.input]->settings.framesPerTrigger = 0;
    for (const host::Property* p : properties_) in.stored.push_back(p->defaultValue());
  }
  if (!in.live) {
    said = who + "(none)";
    return "";
  }
  host::VideoInput& input = *live_[s.input];
  switch (s.op) {
    case Op::kDestroy:
      said = who + "destroyed";
      Destroy(input);
      in.live = false;
      return "";
    case Op::kOpen: {
      const bool opened = input.open(error);
      said = who + (opened ? "opened" : "failed to open: " + error);
      if (in.open && !opened) return "an open device failed to open: " + error;
      in.open = opened;
      return "";
    }
    case Op::kClose:
      said = who + "closed";
      input.close();
      in.open = in.acquiring = false;
      return "";
    case Op::kStop:
      said = who + "stopped";
      input.stop();
      in.acquiring = false;
      return "";
    case Op::kTrigger:
      if (triggers_.empty() || s.pick % (triggers_.size() + 1) == 0) {
        in.trigger = -1;
        input.engine().trigger().type = 0;
        said = who + "chooses no hardware trigger";
      } else {
        in.trigger = static_cast<int>(s.pick % (triggers_.size() + 1)) - 1;
        const host::TriggerConfiguration& t = triggers_[static_cast<std::size_t>(in.trigger)];
        if (!input.selectTrigger(t.configuration, t.source, error)) return error;
        said = who + "chooses " + t.configuration + "/" + t.source;
      }
      return "";
    case Op::kStart: {
      said = who + "started" + failing(s);
      bool owed = true;
      if (in.open && !in.acquiring && triggerPresent()) {
        // The trigger word compared is the camera's own.
        if (fails(kReadQuad)) {
          errors_.push_back("GetTriggerRegister");
          owed = false;
        } else {
          const std::uint32_t word = Bus(kTriggerMode);
          std::uint32_t next = word & ~kOnOff;
          if (in.trigger >= 0) {
            const host::TriggerConfiguration& t = triggers_[static_cast<std::size_t>(in.trigger)];
            next = (word & 0xFF10FFFFu) | kOnOff | (t.sourceId & 7) << kSourceShift |
                   (t.configurationId & 0xF) << kModeShift;
          }
          if (next != word && fails(kWriteQuad)) {
            errors_.push_back("SetTriggerRegister");
            owed = false;
          } else if (next != word) {
            writeTrigger(next);
          }
        }
      }
      const bool started = input.start(error);
      if (started != (in.open && owed)) return "start answered " + std::to_string(started);
      in.acquiring = started;
      return "";
    }
    default:
      break;
  }
  if (properties_.empty()) {
    said = who + "has no property";
    return "";
  }
  const std::size_t n = s.aim == Aim::kWhiteBalance && !whiteBalance_.empty()
                            ? whiteBalance_[s.pick % whiteBalance_.size()]
                            : s.pick % properties_.size();
  const host::Property& p = *properties_[n];
  const Target t = targetOf(p.id());
  host::PropertyValue& stored = in.stored[n];
  if (s.op == Op::kRead) {
    said = who + "reads " + p.name() + failing(s);
    host::PropertyValue want = stored;
    if (t.kind == Kind::kAbsolute) {
      auto c = in.absolutes.find(t.index);
      if (c != in.absolutes.end()) {
        want.real = c->second.value;
      } else if (fails(kQuery)) {
        errors_.push_back("GetAbsControlRegister");
      } else {
        const std::uint32_t at = absoluteOffset(t.index);
        const float value = std::bit_cast<float>(Bus(at));
        in.absolutes[t.index] = {std::bit_cast<float>(Peek(at - 8)),
                                 std::bit_cast<float>(Peek(at - 4)), value};
        want.real = value;
      }
    } else {
      Cached c;
      if (readRecord(in, t, c))
        want.integer =
            static_cast<std::int32_t>(t.kind == Kind::kValue  ? c.value[0]
                                      : t.kind == Kind::kType ? (c.switches & kAbs) != 0
                                      : t.kind == Kind::kMode ? (c.switches & kAuto) != 0
                                                              : (c.switches & kOnOff) != 0);
    }
    host::PropertyValue got;
    input.properties().read(p.name(), got, error);
    said += " = " + p.text(got);
    stored = want;
    if (got.integer != want.integer ||
        std::bit_cast<std::uint64_t>(got.real) != std::bit_cast<std::uint64_t>(want.real))
      return "read " + p.text(got) + ", the model " + p.text(want);
    return "";
  }
  // A write: a value inside the property's range, or just outside it.
  std::string text;
  if (p.type() == host::PropertyType::kEnum) {
    text = std::to_string(s.choice % 3);  // 2 is neither value
  } else {
    const double lo = p.minimum(), hi = p.maximum();
    const double pick[] = {lo, hi, lo + (hi - lo) * s.u, lo - 1, hi + 1, lo + (hi - lo) * s.u};
    double v = pick[s.choice % 6];
    if (p.type() == host::PropertyType::kInteger) {
      text = std::to_string(static_cast<long long>(std::floor(v)));
    } else {
      char buffer[40];
      std::snprintf(buffer, sizeof buffer, "%.17g", v);
      text = buffer;
    }
  }
  said = who + "writes " + p.name() + "=" + text + failing(s);
  host::PropertyValue value;
  std::string refused;
  const bool accepted = p.parse(text, value, refused);
  if (accepted) {
    stored = value;
    if (t.kind == Kind::kAbsolute) {
      const float f = static_cast<float>(value.real);
      if (fails(kSet)) {
        errors_.push_back("SetAbsControlRegister");
      } else {
        const std::uint32_t at = absoluteOffset(t.index);
        const float lo = std::bit_cast<float>(Peek(at - 8)),
                    hi = std::bit_cast<float>(Peek(at - 4));
        Bus(at) = std::bit_cast<std::uint32_t>(std::clamp(f, lo, hi));
        // The range comes from a read back, unless the register is cached.
        auto c = in.absolutes.find(t.index);
        if (c != in.absolutes.end())
          c->second.value = f;
        else if (fails(kQuery))
          errors_.push_back("GetAbsControlRegister");
        else
          in.absolutes[t.index] = {lo, hi, f};
      }
    } else {
      Cached c;
      if (readRecord(in, t, c)) {
        const std::uint32_t wanted = static_cast<std::uint32_t>(value.integer);
        std::uint32_t switches = c.switches, number = c.value[0];
        const std::uint32_t bit = t.kind == Kind::kType   ? kAbs
                                  : t.kind == Kind::kMode ? kAuto
                                                          : kOnOff;
        bool changed;
        if (t.kind == Kind::kValue) {
          changed = number != (wanted & 0xFFFF);
          number = wanted & 0xFFFF;
        } else {
          changed = ((switches & bit) != 0) != (wanted != 0);
          switches = wanted != 0 ? switches | bit : switches & ~bit;
        }
        if (changed && fails(kSet)) {
          errors_.push_back("SetControlRegister");
        } else if (changed) {
          // The library writes the record's switches and its value field; the
          // other half of white balance stays as the camera holds it.
          const std::uint32_t reg = Bus(kControl + 4 * t.index);
          const std::uint32_t rest = reg & ~(kAbs | kOnOff | kAuto | 0xFFFu << t.shift);
          writeControl(t.index, rest | switches | (number & 0xFFF) << t.shift);
          Cached& cache = in.controls[t.index];
          cache.switches = switches;
          cache.value[t.shift == kHighValue ? 0 : 1] = number;
        }
      }
    }
  }
  const bool done = input.properties().write(p.name(), text, error);
  if (done != (accepted && errors_.empty()))
    return "the write " + std::string(done ? "succeeded" : "failed: " + error);
  return "";
}

std::string ModelTest::Run(std::uint64_t seed, const std::vector<Step>& steps, std::string* trace) {
  for (host::VideoInput*& input : live_) input = nullptr;
  inputs_.clear();
  session_.release();
  std::mt19937_64 rng(seed);
  sim::BusDesc bus;
  bus.adapters = {{generateCamera(rng)}};
  Install(bus);
  if (HasFailure()) return "the bus refused the camera";
  session_.discover();
  const host::DeviceAttributes& declared = session_.attributes(*session_.hardware().deviceById(1));
  properties_.clear();
  for (const auto& p : declared.properties) properties_.push_back(p.get());
  triggers_ = declared.triggers;
  triggerInquiry_ = Peek(kTriggerInq);
  bus_.clear();
  inquiry_.clear();
  for (const LibraryFeature& f : kFeatures) {
    const std::uint32_t inq = Peek(kFeatureInq + 4 * f.index);
    if ((inq & 0x80000000u) == 0) continue;
    inquiry_[f.index] = inq;
    bus_[kControl + 4 * f.index] = Peek(kControl + 4 * f.index);
    if (inq & kAbsInq) bus_[absoluteOffset(f.index)] = Peek(absoluteOffset(f.index));
  }
  if (triggerPresent()) bus_[kTriggerMode] = Peek(kTriggerMode);
  whiteBalance_.clear();
  // Absolute values thrice, types twice: the absolute register is shared too,
  // and reached only through them.
  for (std::size_t i = 0; i < properties_.size(); ++i) {
    const Target t = targetOf(properties_[i]->id());
    if (t.index != kWhiteBalanceIndex) continue;
    const int weight = t.kind == Kind::kAbsolute ? 3 : t.kind == Kind::kType ? 2 : 1;
    whiteBalance_.insert(whiteBalance_.end(), weight, i);
  }
  for (std::vector<std::uint32_t>& offsets : offsets_) offsets.clear();
  const auto balance = inquiry_.find(kWhiteBalanceIndex);
  for (const auto& entry : bus_) {
    const std::uint32_t at = entry.first;
    offsets_[0].push_back(at);
    if (at == kControl + 4 * kWhiteBalanceIndex ||
        (balance != inquiry_.end() && (balance->second & kAbsInq) != 0 &&
         at == absoluteOffset(kWhiteBalanceIndex)))
      offsets_[static_cast<int>(Aim::kWhiteBalance)].push_back(at);
    if (at == kTriggerMode) offsets_[static_cast<int>(Aim::kTrigger)].push_back(at);
  }
  for (InputModel& m : model_) m = InputModel{};
  std::string violation;
  for (std::size_t i = 0; i < steps.size() && violation.empty(); ++i) {
    kit::clearReports();
    errors_.clear();
    if (steps[i].fault == kEveryCall)
      for (const char* f : kCalls) sim::addFault({f, sim::kInjected, 0, 1, -1});
    else if (steps[i].fault >= 0)
      sim::addFault({kCalls[steps[i].fault], sim::kInjected, 1, 1, -1});
    std::string said;
    violation = step(steps[i], said);
    sim::clearFaults();
    if (violation.empty()) violation = check();
    if (trace != nullptr) *trace += "  " + std::to_string(i + 1) + ". " + said + "\n";
  }
  return violation;
}

std::uint64_t environment(const char* name, std::uint64_t otherwise) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : otherwise;
}

TEST_F(ModelTest, SequencesAgreeWithTheRegisterModel) {
  // Frame waits end at once: stops and closes do not wait for frames.
  sim::setTimeoutScale(0.0005);
  const std::uint64_t only = environment("MODEL_SEED", 0);
  const std::uint64_t count = only != 0 ? 1 : environment("MODEL_SEQUENCES", 1000);
  std::uint64_t checked = 0, violations = 0;
  for (std::uint64_t n = 0; n < count && violations == 0; ++n, ++checked) {
    const std::uint64_t seed = only != 0 ? only : 0x5EED0000u + n;
    std::mt19937_64 rng(seed ^ 0x9E3779B97F4A7C15ull);
    const std::vector<Step> steps = generateSteps(rng);
    if (Run(seed, steps).empty()) continue;
    ++violations;
    const std::vector<Step> shortest =
        shrink(steps, [&](const std::vector<Step>& s) { return !Run(seed, s).empty(); });
    std::string trace;
    const std::string violation = Run(seed, shortest, &trace);
    ADD_FAILURE() << "sequence " << n + 1 << " (MODEL_SEED=" << seed << "), shrunk from "
                  << steps.size() << " to " << shortest.size() << " steps:\n"
                  << trace << "  violation: " << violation;
  }
  std::printf("%llu sequences checked against the register model, %llu violations\n",
              static_cast<unsigned long long>(checked),
              static_cast<unsigned long long>(violations));
}

}  // namespace
