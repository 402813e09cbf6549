#include "platform/dynlib.h"

#include <dlfcn.h>

#include "platform/paths.h"

namespace corvane::platform {

std::string SharedObjectName(const std::string& windows_name) {
  size_t slash = windows_name.find_last_of("/\\");
  std::string base = slash == std::string::npos ? windows_name : windows_name.substr(slash + 1);
  size_t dot = base.rfind('.');
  if (dot != std::string::npos) base.erase(dot);
  return base + ".so";
}

std::unique_ptr<DynamicLibrary> DynamicLibrary::Load(const std::string& windows_name) {
  std::string name = SharedObjectName(windows_name);
  void* handle = dlopen(JoinPath(ProgramDirectory(), name).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return nullptr;
  return std::unique_ptr<DynamicLibrary>(new DynamicLibrary(handle));
}

DynamicLibrary::~DynamicLibrary() { dlclose(handle_); }

void* DynamicLibrary::Symbol(const char* name) const { return dlsym(handle_, name); }

}  // namespace corvane::platform
