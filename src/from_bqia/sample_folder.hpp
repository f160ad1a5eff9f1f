// Where a sample reference folder shipped with quorin_data is found at run
// time: the environment variable that names it, else the installed copy
// beside the library (<libdir>/QUORIN_LIB_TO_DATA/<name>, found from where the
// calling library itself was loaded), else the source tree of an uninstalled
// build.
#pragma once

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace quorin_data::from_bqia::detail {

// `self` is an address inside the calling library.
inline std::string locate_sample_folder(const char* env_name, const std::string& name, const void* self) {
  if (const char* env = std::getenv(env_name); env && *env) return env;
  namespace fs = std::filesystem;
  std::error_code ec;
  Dl_info info{};
  if (dladdr(self, &info) && info.dli_fname && *info.dli_fname) {
    const fs::path lib = fs::weakly_canonical(fs::path(info.dli_fname), ec);
    if (!ec) {
      const fs::path installed = (lib.parent_path() / QUORIN_LIB_TO_DATA / name).lexically_normal();
      if (fs::is_directory(installed, ec)) return installed.string();
    }
  }
  return (fs::path(QUORIN_SOURCE_DIR) / "data" / name).string();
}

}  // namespace quorin_data::from_bqia::detail
