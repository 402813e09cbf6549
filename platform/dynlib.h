// Optional shared libraries, loaded by base name when present.
//
// "halolib.dll" on Windows is "halolib.so" here: the name's extension is
// replaced and the library is looked up beside the calling program first,
// then on the loader's search path. Absence is normal and not an error.
// Thread-safe; a DynamicLibrary unloads on destruction.

#ifndef CORVANE_PLATFORM_DYNLIB_H_
#define CORVANE_PLATFORM_DYNLIB_H_

#include <memory>
#include <string>

namespace corvane::platform {

class DynamicLibrary {
 public:
  // nullptr when no library of that base name can be loaded.
  static std::unique_ptr<DynamicLibrary> Load(const std::string& windows_name);
  ~DynamicLibrary();
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // The address of an exported symbol, or nullptr.
  void* Symbol(const char* name) const;

 private:
  explicit DynamicLibrary(void* handle) : handle_(handle) {}
  void* handle_;
};

// "halolib.dll" -> "halolib.so"; names without an extension get ".so".
std::string SharedObjectName(const std::string& windows_name);

}  // namespace corvane::platform

#endif  // CORVANE_PLATFORM_DYNLIB_H_
