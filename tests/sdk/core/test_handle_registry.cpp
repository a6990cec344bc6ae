// The handle registry: handles are validated by kind and type, never reused,
// and released per device.
#include <gtest/gtest.h>

#include "kycore/handle_registry.h"

using kycore::HandleKind;
using kycore::HandleRegistry;

namespace {

struct Thing {
  int value;
};
struct Other {
  int value;
};

TEST(HandleRegistry, FindsLiveHandlesOfTheirKindOnly) {
  auto& registry = HandleRegistry::instance();
  void* handle = registry.add(HandleKind::tensor, std::make_shared<Thing>(Thing{7}));
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(HandleRegistry::looks_like_handle(handle));
  ASSERT_TRUE(registry.find<Thing>(handle, HandleKind::tensor));
  EXPECT_EQ(registry.find<Thing>(handle, HandleKind::tensor)->value, 7);
  EXPECT_FALSE(registry.find<Thing>(handle, HandleKind::dataset));
  EXPECT_FALSE(registry.find<Other>(handle, HandleKind::tensor));
  EXPECT_TRUE(registry.remove<Thing>(handle, HandleKind::tensor));
}

TEST(HandleRegistry, RefusesUnknownDestroyedAndForeignValues) {
  auto& registry = HandleRegistry::instance();
  void* handle = registry.add(HandleKind::context, std::make_shared<Thing>(Thing{1}));
  ASSERT_TRUE(registry.remove<Thing>(handle, HandleKind::context));
  EXPECT_FALSE(registry.find<Thing>(handle, HandleKind::context));
  EXPECT_FALSE(registry.remove<Thing>(handle, HandleKind::context));  // double destroy

  int local = 0;
  EXPECT_FALSE(registry.find<Thing>(&local, HandleKind::context));
  EXPECT_FALSE(registry.find<Thing>(nullptr, HandleKind::context));
  EXPECT_FALSE(registry.find<Thing>(reinterpret_cast<void*>(~uintptr_t{0}), HandleKind::context));
}

TEST(HandleRegistry, NeverReusesAHandle) {
  auto& registry = HandleRegistry::instance();
  void* first = registry.add(HandleKind::op, std::make_shared<Thing>(Thing{1}));
  registry.remove<Thing>(first, HandleKind::op);
  void* second = registry.add(HandleKind::op, std::make_shared<Thing>(Thing{2}));
  EXPECT_NE(first, second);
  EXPECT_FALSE(registry.find<Thing>(first, HandleKind::op));
  registry.remove<Thing>(second, HandleKind::op);
}

TEST(HandleRegistry, ReleasesWhatIsBoundToADevice) {
  auto& registry = HandleRegistry::instance();
  auto object = std::make_shared<Thing>(Thing{3});
  void* on_zero = registry.add(HandleKind::context, object, 0);
  void* on_one = registry.add(HandleKind::context, std::make_shared<Thing>(Thing{4}), 1);
  EXPECT_EQ(registry.count(HandleKind::context, 0), 1u);
  EXPECT_EQ(registry.remove_device(0), 1u);
  EXPECT_FALSE(registry.find<Thing>(on_zero, HandleKind::context));
  EXPECT_TRUE(registry.find<Thing>(on_one, HandleKind::context));
  EXPECT_EQ(object.use_count(), 1);  // the registry let go of it
  registry.remove<Thing>(on_one, HandleKind::context);
}

}  // namespace
