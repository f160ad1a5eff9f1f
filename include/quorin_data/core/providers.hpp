// The provider registry of an outside package (the query service, the
// intraday-bars package): a process-wide slot for the function that opens
// the package, and module-wide handles that ask it once.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/settings.hpp"

namespace quorin_data {

template <class T>
class ProviderRegistry {
 public:
  // Opens a handle, or throws when the package cannot be opened.
  using Provider = std::function<std::shared_ptr<T>()>;

  // Installs the provider in place of the one before (nullptr removes it).
  // Handles already opened stay as they are.
  void replace(Provider provider) {
    std::lock_guard<std::mutex> lock(mu_);
    provider_ = std::move(provider);
  }
  bool has() const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<bool>(provider_);
  }
  // A handle from the provider, or nullptr when there is none or it throws
  // or returns nothing. The provider runs outside the registry's lock, so it
  // may itself use the registry.
  std::shared_ptr<T> open() const {
    Provider provider;
    {
      std::lock_guard<std::mutex> lock(mu_);
      provider = provider_;
    }
    if (!provider) return nullptr;
    try {
      return provider();
    } catch (...) {
      return nullptr;
    }
  }
  // open(), and when that gives no handle and warnings are on
  // (SHOW_WARNINGS is "1"), `not_installed_warning` once per process.
  std::shared_ptr<T> open_or_warn(const std::string& not_installed_warning) const {
    std::shared_ptr<T> handle = open();
    if (!handle && read_show_warnings()) warn(not_installed_warning);
    return handle;
  }

 private:
  mutable std::mutex mu_;
  Provider provider_;
};

// A module-wide handle opened from a registry on first use (the module's
// load) and kept for the process.
template <class T>
class ModuleSlot {
 public:
  // `name` is the name the module's code knows the handle by ("bq").
  ModuleSlot(ProviderRegistry<T>& registry, std::string not_installed_warning, std::string name)
      : registry_(&registry), warning_(std::move(not_installed_warning)), name_(std::move(name)) {}
  ModuleSlot(const ModuleSlot&) = delete;
  ModuleSlot& operator=(const ModuleSlot&) = delete;

  // The handle or nullptr; opened once.
  std::shared_ptr<T> get() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!opened_) {
      handle_ = registry_->open_or_warn(warning_);
      opened_ = true;
    }
    return handle_;
  }
  // The handle, or NameError "name '<name>' is not defined".
  T& require() {
    auto h = get();
    if (!h) throw NameError("name '" + name_ + "' is not defined");
    return *h;  // kept alive by this slot
  }
  // Forgets the handle so that the next get() asks the registry again (tests).
  void reset() {
    std::lock_guard<std::mutex> lock(mu_);
    opened_ = false;
    handle_.reset();
  }

 private:
  ProviderRegistry<T>* registry_;
  std::string warning_, name_;
  std::mutex mu_;
  bool opened_ = false;
  std::shared_ptr<T> handle_;
};

}  // namespace quorin_data
