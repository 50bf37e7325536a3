// Loads the procedure module with the platform's dynamic loader, hands it the
// host services once, and finds its driver through the module descriptor.
#pragma once

#include <filesystem>
#include <string>

#include "quilvar/host/services.hpp"

namespace quilvar::runtime {

using DriverFunction = int (*)(void*);

struct LoadedModule {
  void* library = nullptr;
  DriverFunction driver = nullptr;
  std::string image_information;  // the key text of the block mcn_main returned
};

// The module's file: QUILVAR_MODULE_PATH when set, else libquilvar.so next
// to the executable.
std::filesystem::path default_module_path(const std::filesystem::path& executable);

// Loads the module, calls mcn_main once with services, and resolves the
// driver. On failure returns false with a message naming the file.
bool load_module(const std::filesystem::path& path, host::HostServices* services, LoadedModule* module,
                 std::string* error);

void unload_module(LoadedModule* module);

}  // namespace quilvar::runtime
