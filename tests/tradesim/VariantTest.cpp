// The library's entry points, and the variants the loader is tested with.
#include "TestSupport.h"

namespace tradesim::test {
namespace {

struct Expected {
  const char* path;
  uint32_t version;
  bool createExt;
  bool adminExt;
  bool dealRequest;
};

TEST(VariantTest, EachLibraryExportsItsEntryPointsAndVersion) {
  for (const Expected& e :
       {Expected{TRADESIM_LIBRARY, 2280, true, true, true}, Expected{TRADESIM_VARIANT_V2279, 2279, true, true, true},
        Expected{TRADESIM_VARIANT_NOADMIN, 2280, true, false, true},
        Expected{TRADESIM_VARIANT_PLAIN, 2280, false, false, true},
        Expected{TRADESIM_VARIANT_NODEALS, 2280, true, true, false}}) {
    SCOPED_TRACE(e.path);
    ManagerLibrary library(e.path);
    auto version = reinterpret_cast<MTManagerVersion_t>(library.symbol("MTManagerVersion"));
    ASSERT_NE(version, nullptr);
    uint32_t reported = 0;
    EXPECT_EQ(version(&reported), mtret::Ok);
    EXPECT_EQ(reported, e.version);
    EXPECT_EQ(version(nullptr), mtret::InvalidParams);
    EXPECT_NE(library.symbol("MTManagerCreate"), nullptr);
    EXPECT_NE(library.symbol("MTAdminCreate"), nullptr);
    EXPECT_EQ(library.symbol("MTManagerCreateExt") != nullptr, e.createExt);
    EXPECT_EQ(library.symbol("MTAdminCreateExt") != nullptr, e.adminExt);
    EXPECT_EQ(library.symbol("MTManagerDealRequest") != nullptr, e.dealRequest);
    // The other optional entry points are in every variant.
    EXPECT_NE(library.symbol("MTManagerServerTime"), nullptr);
    EXPECT_NE(library.symbol("MTManagerAccountRequest"), nullptr);
    EXPECT_NE(library.symbol("MTManagerAccountTimes"), nullptr);
    // Nothing of the implementation is visible.
    EXPECT_EQ(library.symbol("_ZN8tradesim11formatMoneyEl"), nullptr);
  }
}

TEST(VariantTest, CreateEntriesMakeManagersAndAdminEntriesRefuse) {
  ManagerLibrary library(TRADESIM_LIBRARY);
  auto create = reinterpret_cast<MTManagerCreate_t>(library.symbol("MTManagerCreate"));
  auto createExt = reinterpret_cast<MTManagerCreateExt_t>(library.symbol("MTManagerCreateExt"));
  IMTManagerAPI* manager = nullptr;
  ASSERT_EQ(create(MTManagerAPIVersion, &manager), mtret::Ok);
  ASSERT_NE(manager, nullptr);
  manager->Release();
  manager = nullptr;
  ASSERT_EQ(createExt(MTManagerAPIVersion, nullptr, &manager), mtret::Ok);
  ASSERT_NE(manager, nullptr);
  manager->Release();
  EXPECT_EQ(createExt(MTManagerAPIVersion + 1, nullptr, &manager), mtret::InvalidParams);
  EXPECT_EQ(manager, nullptr);
  EXPECT_EQ(create(MTManagerAPIVersion, nullptr), mtret::InvalidParams);

  auto admin = reinterpret_cast<MTAdminCreate_t>(library.symbol("MTAdminCreate"));
  auto adminExt = reinterpret_cast<MTAdminCreateExt_t>(library.symbol("MTAdminCreateExt"));
  void* object = &library;
  EXPECT_EQ(admin(MTManagerAPIVersion, &object), mtret::Error);
  EXPECT_EQ(object, nullptr);
  object = &library;
  EXPECT_EQ(adminExt(MTManagerAPIVersion, nullptr, &object), mtret::Error);
  EXPECT_EQ(object, nullptr);
}

}  // namespace
}  // namespace tradesim::test
