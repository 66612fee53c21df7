// How the conformance host lays out the tables of its objects: the prefix, the
// slots of the interface and, past the last slot, traps. A caller whose slot
// order disagrees with the documented one lands on a wrong operation (which checks the
// kind of object it is called on) or on a trap, and the call is recorded as a
// violation instead of running into something far away.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "conformance_kit.h"
#include "contract.h"

namespace conformance {

template <class R, class... Args>
void (*declaredArguments(R (*)(contract::Self, Args...)))(Args...);

// Every host record starts with its table and a kind tag.
struct Head {
  const void* slots;
  std::uint32_t kind;
};

enum Kind : std::uint32_t {
  kEngine = 0xC0DE0001,
  kPropertyContainer,
  kProperty,
  kTriggerSetting,
  kFrameBuffer,
  kHardwareList,
  kDeviceEntry,
  kFormatEntry,
  kPropertyFactory,
  kSourceList,
  kTriggerList,
  kAdaptorManager,
  kLock,
  kHolder,
};

inline const char* kindName(std::uint32_t kind) {
  static const char* const names[] = {"IEngine",         "IPropertyContainer",   "IPropertyRecord",
                                      "ITriggerSetting", "IFrameBuffer",         "IHardwareList",
                                      "IDeviceEntry",    "IFormatEntry",         "IPropertyFactory",
                                      "ISourceList",     "ITriggerList",         "IAdaptorManager",
                                      "the kit's lock",  "the kit's lock holder"};
  const std::uint32_t index = kind - kEngine;
  return index < std::size(names) ? names[index] : "something that is no host object";
}

// The record behind self when it is of the kind the operation belongs to;
// otherwise null, with the call recorded.
template <class Record>
Record* as(contract::Self self, std::uint32_t kind, const char* operation) {
  const auto* head = static_cast<const Head*>(self);
  const bool known = ck::isRecord(self);
  if (!known || head->kind != kind) {
    ck::violation(std::string(kindName(kind)) + "::" + operation + " called on " +
                  (self == nullptr ? "a null pointer"
                   : known         ? kindName(head->kind)
                                   : "something that is no host object"));
    return nullptr;
  }
  return static_cast<Record*>(self);
}

// Host operations are written as functions that return a pointer-sized value
// (0 for those that return nothing) and stored in slots of the declared type:
// the return register is all the two differ in. So a caller that lands on a
// wrong operation gets null or a plain number back, never a stale register.
using Word = std::uintptr_t;

template <class Slot, class... Args>
Slot slot(Word (*operation)(contract::Self, Args...)) {
  using Declared = decltype(declaredArguments(static_cast<Slot>(nullptr)));
  static_assert(std::is_same_v<Declared, void (*)(Args...)>,
                "operation arguments as the slot declares them");
  return reinterpret_cast<Slot>(reinterpret_cast<void (*)()>(operation));
}

constexpr std::size_t kTraps = 4;

template <std::uint32_t K, std::size_t N>
contract::Self trap(contract::Self) {
  ck::violation(std::string("a call through slot ") + std::to_string(N + 1) + " past the last of " +
                kindName(K));
  return nullptr;
}

template <std::uint32_t K, std::size_t... N>
constexpr auto trapRow(std::index_sequence<N...>) {
  struct Row {
    contract::Self (*slot[sizeof...(N)])(contract::Self);
  };
  return Row{{&trap<K, N>...}};
}

template <std::uint32_t K, class Slots>
struct Table {
  contract::TablePrefix prefix;
  Slots slots;
  decltype(trapRow<K>(std::make_index_sequence<kTraps>())) traps;
};

// Where the toolchain keeps a table's type information, the host's tables name
// a type of their own that derives from no interface. A sanitizer that checks
// the type of each object a call lands on then finds a type it can name, and
// the conformance test's suppressions waive that check for these records.
struct ConformanceRecord {
  virtual ~ConformanceRecord() = default;
};

template <std::uint32_t K, class Slots>
Table<K, Slots> makeTable(const Slots& slots) {
  using T = Table<K, Slots>;
  static_assert(offsetof(T, traps) == offsetof(T, slots) + sizeof(Slots),
                "traps follow the last slot");
  return {{0, &typeid(ConformanceRecord)}, slots, trapRow<K>(std::make_index_sequence<kTraps>())};
}

}  // namespace conformance
