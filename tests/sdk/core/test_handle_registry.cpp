// The handle registry: handles are validated by kind and type and never
// reused. What reset and release drop is checked through the libraries.
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

// Unknown, destroyed and made-up handles are refused through the libraries in
// the Python tests; what only the registry shows is checked here.
TEST(HandleRegistry, FindsLiveHandlesOfTheirKindAndTypeAndNeverReusesOne) {
  auto& registry = HandleRegistry::instance();
  void* handle = registry.add(HandleKind::tensor, std::make_shared<Thing>(Thing{7}));
  EXPECT_TRUE(HandleRegistry::looks_like_handle(handle));
  ASSERT_TRUE(registry.find<Thing>(handle, HandleKind::tensor));
  EXPECT_EQ(registry.find<Thing>(handle, HandleKind::tensor)->value, 7);
  EXPECT_FALSE(registry.find<Thing>(handle, HandleKind::dataset));
  EXPECT_FALSE(registry.find<Other>(handle, HandleKind::tensor));
  EXPECT_TRUE(registry.remove<Thing>(handle, HandleKind::tensor));
  void* next = registry.add(HandleKind::tensor, std::make_shared<Thing>(Thing{2}));
  EXPECT_NE(next, handle);
  EXPECT_FALSE(registry.find<Thing>(handle, HandleKind::tensor));
  registry.remove<Thing>(next, HandleKind::tensor);
}

}  // namespace
