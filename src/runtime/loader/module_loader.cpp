// Dynamic loading of the procedure module.
#include "runtime/loader/module_loader.hpp"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <system_error>

namespace quilvar::runtime {

namespace {

constexpr char kModuleFile[] = "libquilvar.so";
constexpr char kModuleName[] = "mivortek";
constexpr char kDescriptorSymbol[] = "quilvar_module";
constexpr char kMainSymbol[] = "mcn_main";

// The descriptor as the host sees it: name, a zero word, the driver.
struct DescriptorView {
  char name[8];
  std::int32_t zero;
  DriverFunction driver;
  std::uint32_t words[4];
};

using MainFunction = const char* (*)(host::HostServices*, void*);

bool fail(LoadedModule* module, std::string* error, std::string text) {
  if (module->library != nullptr) dlclose(module->library);
  module->library = nullptr;
  *error = std::move(text);
  return false;
}

}  // namespace

std::filesystem::path default_module_path(const std::filesystem::path& executable) {
  if (const char* path = std::getenv("QUILVAR_MODULE_PATH"); path != nullptr && *path != 0) return path;
  return executable.parent_path() / kModuleFile;
}

bool load_module(const std::filesystem::path& path, host::HostServices* services, LoadedModule* module,
                 std::string* error) {
  *module = LoadedModule{};
  // A name without a slash would make the dynamic loader search the system's
  // library folders instead of the current one: "mymodule.so" names the file
  // in the current folder, as any other file name on the command line does.
  std::error_code ignored;
  const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
  module->library = dlopen((absolute.empty() ? path : absolute).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module->library == nullptr) {
    const char* why = dlerror();
    return fail(module, error, "cannot load the procedure module " + path.string() + ": " + (why ? why : "unknown error"));
  }
  auto main_entry = reinterpret_cast<MainFunction>(dlsym(module->library, kMainSymbol));
  auto* descriptor = static_cast<const DescriptorView*>(dlsym(module->library, kDescriptorSymbol));
  if (main_entry == nullptr || descriptor == nullptr) {
    return fail(module, error, "the file " + path.string() + " is not a procedure module (entry points missing)");
  }
  if (std::memcmp(descriptor->name, kModuleName, sizeof descriptor->name) != 0 || descriptor->driver == nullptr) {
    return fail(module, error, "the procedure module " + path.string() + " has an invalid descriptor");
  }
  const char* image = main_entry(services, module->library);
  if (image != nullptr) module->image_information = image;
  module->driver = descriptor->driver;
  return true;
}

void unload_module(LoadedModule* module) {
  if (module->library != nullptr) dlclose(module->library);
  *module = LoadedModule{};
}

}  // namespace quilvar::runtime
