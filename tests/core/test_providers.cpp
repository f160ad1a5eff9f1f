#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/providers.hpp"

using namespace quorin_data;

TEST(ProviderRegistry, OpensOnceReplacesAndRecoversFromFailures) {
  ProviderRegistry<int> registry;
  ModuleSlot<int> slot(registry, "'x' is not installed.", "x");
  EXPECT_FALSE(registry.has());
  EXPECT_EQ(slot.get(), nullptr);
  try {
    slot.require();
    ADD_FAILURE() << "no error";
  } catch (const NameError& e) {
    EXPECT_STREQ(e.what(), "name 'x' is not defined");
  }

  // The provider runs outside the registry's lock: it may consult it.
  int calls = 0;
  registry.replace([&] {
    ++calls;
    return std::make_shared<int>(registry.has() ? 1 : 0);
  });
  slot.reset();
  EXPECT_EQ(slot.require(), 1);
  EXPECT_EQ(slot.require(), 1);
  EXPECT_EQ(calls, 1);

  // A new provider leaves the opened handle as it is until the slot is reset;
  // one that throws or returns nothing gives no handle.
  registry.replace([] { return std::make_shared<int>(2); });
  EXPECT_EQ(*slot.get(), 1);
  slot.reset();
  EXPECT_EQ(*slot.get(), 2);
  registry.replace([]() -> std::shared_ptr<int> { throw std::runtime_error("cannot open"); });
  EXPECT_EQ(registry.open(), nullptr);
  registry.replace([] { return std::shared_ptr<int>(); });
  EXPECT_EQ(registry.open(), nullptr);
  registry.replace(nullptr);
  EXPECT_FALSE(registry.has());
}
