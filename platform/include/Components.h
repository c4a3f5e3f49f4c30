// Component manager: registration of components {type, subtype,
// manufacturer} with their dispatchers, instances with per-instance storage,
// calls by selector, delegation, and component resources.
//
// Calling convention. A call is a ComponentParameters record holding the
// selector (`what`) and the arguments in declared order, one pointer-sized
// slot each (integers sign- or zero-extended by their type, pointers as
// addresses). The component's dispatcher receives the record and the
// instance's storage. A dispatcher hands a call on to a handler with
// CallComponentFunctionWithStorageProcInfo; the handler is given as
// ComponentFunctionEntry(handler), which unpacks the slots into the handler's
// declared parameter types (storage first). Handlers taking no parameters at
// all (version, register) are called without the storage.
#pragma once

#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "MacTypes.h"

struct ComponentRecord;
struct ComponentInstanceRecord;
typedef ComponentRecord* Component;
typedef ComponentInstanceRecord* ComponentInstance;

struct ComponentDescription {
  OSType componentType;          // 0 matches any in a search
  OSType componentSubType;       // 0 matches any in a search
  OSType componentManufacturer;  // 0 matches any in a search
  UInt32 componentFlags;
  UInt32 componentFlagsMask;
};

constexpr int kComponentMaxParams = 16;

struct ComponentParameters {
  UInt8 flags;
  UInt8 paramSize;  // bytes of `params` in use: sizeof(uintptr_t) per argument
  SInt16 what;      // the selector
  uintptr_t params[kComponentMaxParams];  // arguments in declared order
};

// A component's entry point. `storage` is what SetComponentInstanceStorage
// gave the instance (NULL while Open runs and for Register).
typedef ComponentResult (*ComponentRoutineUPP)(ComponentParameters* params, Handle storage);

// Standard selectors.
enum : SInt16 {
  kComponentOpenSelect = -1,      // (ComponentInstance self)
  kComponentCloseSelect = -2,     // (ComponentInstance self)
  kComponentCanDoSelect = -3,     // (SInt16 selector) -> 1 when served
  kComponentVersionSelect = -4,   // () -> version
  kComponentRegisterSelect = -5,  // () -> 0 to stay registered
  kComponentTargetSelect = -6,    // (ComponentInstance target)
  kComponentUnregisterSelect = -7,
};

constexpr OSErr resNotFound = -192;  // no such component resource

// ---- argument slots -------------------------------------------------------

namespace component_slots {

template <typename T>
uintptr_t to_slot(T value) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<uintptr_t>(value);
  } else if constexpr (std::is_null_pointer_v<T>) {
    return 0;
  } else if constexpr (std::is_enum_v<T>) {
    return to_slot(static_cast<std::underlying_type_t<T>>(value));
  } else {
    static_assert(std::is_integral_v<T>, "component arguments are integers or pointers");
    if constexpr (std::is_signed_v<T>)
      return static_cast<uintptr_t>(static_cast<intptr_t>(value));
    else
      return static_cast<uintptr_t>(value);
  }
}

template <typename T>
T from_slot(uintptr_t slot) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<T>(slot);
  } else if constexpr (std::is_enum_v<T>) {
    return static_cast<T>(from_slot<std::underlying_type_t<T>>(slot));
  } else {
    static_assert(std::is_integral_v<T>, "component arguments are integers or pointers");
    if constexpr (std::is_signed_v<T>)
      return static_cast<T>(static_cast<intptr_t>(slot));
    else
      return static_cast<T>(slot);
  }
}

template <typename T>
T storage_as(Handle storage) {
  static_assert(std::is_pointer_v<T>, "the first parameter of a handler is the instance storage");
  return reinterpret_cast<T>(storage);
}

template <auto Fn>
struct Function;

template <typename R, typename... A, R (*Fn)(A...)>
struct Function<Fn> {
  static ComponentResult call(Handle storage, const ComponentParameters* p) {
    if constexpr (sizeof...(A) == 0) {
      (void)storage;
      (void)p;
      return static_cast<ComponentResult>(Fn());
    } else {
      return unpack(storage, p, std::make_index_sequence<sizeof...(A) - 1>());
    }
  }

 private:
  template <typename First, typename... Rest>
  struct Split {
    using first = First;
    using rest = std::tuple<Rest...>;
  };
  template <size_t... I>
  static ComponentResult unpack(Handle storage, const ComponentParameters* p, std::index_sequence<I...>) {
    using S = Split<A...>;
    return static_cast<ComponentResult>(
        Fn(storage_as<typename S::first>(storage), from_slot<std::tuple_element_t<I, typename S::rest>>(p->params[I])...));
  }
};

}  // namespace component_slots

// Generic form of a handler, as CallComponentFunctionWithStorageProcInfo calls it.
typedef ComponentResult (*ComponentFunctionProcPtr)(Handle storage, const ComponentParameters* params);

// The dispatch-table form of a handler function.
#define ComponentFunctionEntry(fn) \
  (reinterpret_cast<ProcPtr>(&::component_slots::Function<&(fn)>::call))

// Calls a handler made by ComponentFunctionEntry. `procInfo` describes the
// result and the parameters (storage first) in 2-bit size codes from bit 6 on;
// a call carrying fewer arguments than it describes is refused with paramErr.
ComponentResult CallComponentFunctionWithStorageProcInfo(Handle storage, ComponentParameters* params, ProcPtr func,
                                                         ProcInfoType procInfo);

// Number of parameters (storage included) that `procInfo` describes.
int ProcInfoParameterCount(ProcInfoType procInfo);

// ---- registration ---------------------------------------------------------

// Registers a component; returns it (the same one when this exact
// description and entry are registered already), NULL for a NULL argument.
// `global` is accepted for form only: registration is for this process.
// `name` and `info` handles, when given, are copied (their text).
Component RegisterComponent(const ComponentDescription* cd, ComponentRoutineUPP entry, SInt16 global,
                            Handle componentName, Handle componentInfo, Handle componentIcon);
OSErr UnregisterComponent(Component c);
// Asks a component's entry point to register itself: calls it with
// kComponentRegisterSelect and no storage, as a bundle loader does.
ComponentResult CallComponentRegisterSelector(ComponentRoutineUPP entry);

// Next registered component after `previous` (NULL: the first) whose
// description matches: zero type, subtype or manufacturer match any; flags
// match under `looking->componentFlagsMask`.
Component FindNextComponent(Component previous, const ComponentDescription* looking);
OSErr GetComponentInfo(Component c, ComponentDescription* cd, Handle name, Handle info, Handle icon);
OSErr GetComponentInfo(ComponentInstance ci, ComponentDescription* cd, Handle name, Handle info, Handle icon);
Component GetComponentOfInstance(ComponentInstance ci);

// Component resources live in files: the host names the file of each
// resource; GetComponentResource returns a new handle with its bytes.
OSErr SetComponentResourceFile(Component c, OSType resType, SInt16 resID, const char* path);
OSErr GetComponentResource(Component c, OSType resType, SInt16 resID, Handle* theResource);
OSErr GetComponentResource(ComponentInstance ci, OSType resType, SInt16 resID, Handle* theResource);

// ---- instances ------------------------------------------------------------

// Opens an instance: the component's Open runs with the instance as `self`.
// When Open fails, Close runs with whatever storage was set, the instance is
// dropped and Open's result (as an OSErr) is returned.
OSErr OpenAComponent(Component c, ComponentInstance* ci);
ComponentInstance OpenComponent(Component c);  // NULL on failure
// Opens the first component of this type and subtype (any manufacturer);
// invalidComponentID when none is registered.
OSErr OpenADefaultComponent(OSType componentType, OSType componentSubType, ComponentInstance* ci);
// Runs Close and drops the instance; paramErr for an instance that is not
// open.
OSErr CloseComponent(ComponentInstance ci);

void SetComponentInstanceStorage(ComponentInstance ci, Handle storage);
Handle GetComponentInstanceStorage(ComponentInstance ci);
// Number of instances open right now (for leak checks in tests).
SInt32 OpenComponentInstanceCount();

// ---- calls ----------------------------------------------------------------

// Sends a call record to an instance's entry point with its storage;
// badComponentInstance for an instance that is not open.
ComponentResult CallComponentDispatch(ComponentInstance ci, ComponentParameters* params);
// Hands a call record received by one component on to another instance.
ComponentResult DelegateComponentCall(ComponentParameters* originalParams, ComponentInstance ci);

// Makes a call: selector `what`, arguments in declared order.
template <typename... Args>
ComponentResult CallComponentSelector(ComponentInstance ci, SInt16 what, Args... args) {
  static_assert(sizeof...(Args) <= kComponentMaxParams, "too many component arguments");
  ComponentParameters p;
  std::memset(&p, 0, sizeof p);
  p.what = what;
  p.paramSize = UInt8(sizeof...(Args) * sizeof(uintptr_t));
  size_t i = 0;
  ((p.params[i++] = component_slots::to_slot(args)), ...);
  (void)i;
  return CallComponentDispatch(ci, &p);
}

ComponentResult CallComponentCanDo(ComponentInstance ci, SInt16 selector);
ComponentResult CallComponentVersion(ComponentInstance ci);
ComponentResult CallComponentTarget(ComponentInstance ci, ComponentInstance target);
