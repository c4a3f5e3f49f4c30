#include "Components.h"

#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "PlatformInternal.h"
#include "MacMemory.h"

struct ComponentRecord {
  ComponentDescription description;
  ComponentRoutineUPP entry;
  SInt16 global;
  std::string name;
  std::string info;
  bool registered;
  std::map<std::pair<OSType, SInt16>, std::string> resourceFiles;
};

struct ComponentInstanceRecord {
  ComponentRecord* component;
  Handle storage;
};

namespace {

struct Registry {
  std::mutex mutex;
  // Components are never freed: a Component stays a valid reference for the
  // life of the process, registered or not.
  std::vector<std::unique_ptr<ComponentRecord>> components;
  std::set<ComponentInstanceRecord*> instances;
};

Registry& registry_raw() {
  static Registry r;
  return r;
}

std::string handle_text(Handle h) {
  if (h == nullptr) return std::string();
  Size n = GetHandleSize(h);
  if (MemError() != noErr || n <= 0) return std::string();
  std::string s(*h, size_t(n));
  // Length-prefixed (Str255-style) names keep only their characters.
  if (!s.empty() && UInt8(s[0]) == s.size() - 1) s.erase(0, 1);
  return s;
}

Component register_locked(Registry& r, const ComponentDescription* cd, ComponentRoutineUPP entry, SInt16 global,
                          Handle name, Handle info) {
  for (auto& c : r.components) {
    if (c->registered && c->entry == entry && std::memcmp(&c->description, cd, sizeof *cd) == 0) return c.get();
  }
  auto c = std::make_unique<ComponentRecord>();
  c->description = *cd;
  c->entry = entry;
  c->global = global;
  c->name = handle_text(name);
  c->info = handle_text(info);
  c->registered = true;
  r.components.push_back(std::move(c));
  return r.components.back().get();
}

// The registry with the built-in components in place.
Registry& registry() {
  static std::once_flag once;
  Registry& r = registry_raw();
  std::call_once(once, [&r] {
    std::lock_guard<std::mutex> lock(r.mutex);
    for (const BuiltinComponent& b : BuiltinDataHandlers())
      register_locked(r, &b.description, b.entry, 0, nullptr, nullptr);
  });
  return r;
}

bool matches(const ComponentDescription& have, const ComponentDescription& want) {
  if (want.componentType != 0 && want.componentType != have.componentType) return false;
  if (want.componentSubType != 0 && want.componentSubType != have.componentSubType) return false;
  if (want.componentManufacturer != 0 && want.componentManufacturer != have.componentManufacturer) return false;
  return (have.componentFlags & want.componentFlagsMask) == (want.componentFlags & want.componentFlagsMask);
}

bool live_instance(ComponentInstance ci) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return ci != nullptr && r.instances.count(ci) != 0;
}

OSErr copy_text(const std::string& text, Handle h) {
  if (h == nullptr) return noErr;
  SetHandleSize(h, Size(text.size()));
  if (MemError() != noErr) return MemError();
  if (!text.empty()) std::memcpy(*h, text.data(), text.size());
  return noErr;
}

}  // namespace

int ProcInfoParameterCount(ProcInfoType procInfo) {
  int count = 0;
  for (int shift = 6; shift < 32 && ((procInfo >> shift) & 3) != 0; shift += 2) ++count;
  return count;
}

ComponentResult CallComponentFunctionWithStorageProcInfo(Handle storage, ComponentParameters* params, ProcPtr func,
                                                         ProcInfoType procInfo) {
  if (params == nullptr || func == nullptr) return paramErr;
  int declared = ProcInfoParameterCount(procInfo) - 1;  // the storage is not in the record
  if (declared > kComponentMaxParams) return paramErr;
  if (declared > 0 && int(params->paramSize / sizeof(uintptr_t)) < declared) return paramErr;
  auto handler = reinterpret_cast<ComponentFunctionProcPtr>(func);
  return handler(storage, params);
}

Component RegisterComponent(const ComponentDescription* cd, ComponentRoutineUPP entry, SInt16 global,
                            Handle componentName, Handle componentInfo, Handle) try {
  if (cd == nullptr || entry == nullptr) return nullptr;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return register_locked(r, cd, entry, global, componentName, componentInfo);
} catch (const std::exception&) {
  return nullptr;
}

OSErr UnregisterComponent(Component c) {
  if (c == nullptr) return invalidComponentID;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (!c->registered) return invalidComponentID;
  c->registered = false;
  return noErr;
}

ComponentResult CallComponentRegisterSelector(ComponentRoutineUPP entry) {
  if (entry == nullptr) return paramErr;
  registry();
  ComponentParameters p;
  std::memset(&p, 0, sizeof p);
  p.what = kComponentRegisterSelect;
  return entry(&p, nullptr);
}

Component FindNextComponent(Component previous, const ComponentDescription* looking) {
  if (looking == nullptr) return nullptr;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  bool passed = previous == nullptr;
  for (auto& c : r.components) {
    if (!passed) {
      passed = c.get() == previous;
      continue;
    }
    if (c->registered && matches(c->description, *looking)) return c.get();
  }
  return nullptr;
}

OSErr GetComponentInfo(Component c, ComponentDescription* cd, Handle name, Handle info, Handle) {
  if (c == nullptr) return invalidComponentID;
  if (cd != nullptr) *cd = c->description;
  OSErr err = copy_text(c->name, name);
  if (err == noErr) err = copy_text(c->info, info);
  return err;
}

Component GetComponentOfInstance(ComponentInstance ci) { return live_instance(ci) ? ci->component : nullptr; }

OSErr GetComponentInfo(ComponentInstance ci, ComponentDescription* cd, Handle name, Handle info, Handle icon) {
  return GetComponentInfo(GetComponentOfInstance(ci), cd, name, info, icon);
}

OSErr SetComponentResourceFile(Component c, OSType resType, SInt16 resID, const char* path) try {
  if (c == nullptr || path == nullptr) return paramErr;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  c->resourceFiles[{resType, resID}] = path;
  return noErr;
} catch (const std::exception&) {
  return memFullErr;
}

OSErr GetComponentResource(Component c, OSType resType, SInt16 resID, Handle* theResource) try {
  if (c == nullptr || theResource == nullptr) return paramErr;
  *theResource = nullptr;
  std::string path;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = c->resourceFiles.find({resType, resID});
    if (it == c->resourceFiles.end()) return resNotFound;
    path = it->second;
  }
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return resNotFound;
  std::string bytes;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.append(buffer, n);
  bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return ioErr;
  return PtrToHand(bytes.data(), theResource, Size(bytes.size()));
} catch (const std::exception&) {
  return memFullErr;
}

OSErr GetComponentResource(ComponentInstance ci, OSType resType, SInt16 resID, Handle* theResource) {
  return GetComponentResource(GetComponentOfInstance(ci), resType, resID, theResource);
}

OSErr OpenAComponent(Component c, ComponentInstance* ci) try {
  if (ci == nullptr) return paramErr;
  *ci = nullptr;
  if (c == nullptr) return invalidComponentID;
  Registry& r = registry();
  auto owned = std::make_unique<ComponentInstanceRecord>(ComponentInstanceRecord{c, nullptr});
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!c->registered) return invalidComponentID;
    r.instances.insert(owned.get());
  }
  ComponentInstance instance = owned.release();
  ComponentResult result = CallComponentSelector(instance, kComponentOpenSelect, instance);
  if (result != noErr) {
    CallComponentSelector(instance, kComponentCloseSelect, instance);
    {
      std::lock_guard<std::mutex> lock(r.mutex);
      r.instances.erase(instance);
    }
    delete instance;
    return OSErr(result);
  }
  *ci = instance;
  return noErr;
} catch (const std::exception&) {
  return memFullErr;
}

ComponentInstance OpenComponent(Component c) {
  ComponentInstance ci = nullptr;
  OpenAComponent(c, &ci);
  return ci;
}

OSErr OpenADefaultComponent(OSType componentType, OSType componentSubType, ComponentInstance* ci) {
  if (ci == nullptr) return paramErr;
  *ci = nullptr;
  ComponentDescription want = {componentType, componentSubType, 0, 0, 0};
  Component c = FindNextComponent(nullptr, &want);
  if (c == nullptr) return invalidComponentID;
  return OpenAComponent(c, ci);
}

OSErr CloseComponent(ComponentInstance ci) {
  if (!live_instance(ci)) return paramErr;
  ComponentResult result = CallComponentSelector(ci, kComponentCloseSelect, ci);
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    r.instances.erase(ci);
  }
  delete ci;
  return OSErr(result);
}

void SetComponentInstanceStorage(ComponentInstance ci, Handle storage) {
  if (live_instance(ci)) ci->storage = storage;
}

Handle GetComponentInstanceStorage(ComponentInstance ci) { return live_instance(ci) ? ci->storage : nullptr; }

SInt32 OpenComponentInstanceCount() {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  return SInt32(r.instances.size());
}

ComponentResult CallComponentDispatch(ComponentInstance ci, ComponentParameters* params) {
  if (params == nullptr) return paramErr;
  if (!live_instance(ci)) return badComponentInstance;
  // A component is called as a C routine: memory that runs out inside it
  // comes back as its result, never as an exception through its caller.
  try {
    return ci->component->entry(params, ci->storage);
  } catch (const std::bad_alloc&) {
    return memFullErr;
  }
}

ComponentResult DelegateComponentCall(ComponentParameters* originalParams, ComponentInstance ci) {
  return CallComponentDispatch(ci, originalParams);
}

ComponentResult CallComponentCanDo(ComponentInstance ci, SInt16 selector) {
  return CallComponentSelector(ci, kComponentCanDoSelect, selector);
}

ComponentResult CallComponentVersion(ComponentInstance ci) { return CallComponentSelector(ci, kComponentVersionSelect); }

ComponentResult CallComponentTarget(ComponentInstance ci, ComponentInstance target) {
  return CallComponentSelector(ci, kComponentTargetSelect, target);
}
