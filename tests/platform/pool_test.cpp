#include "tests/support/fixtures.h"

namespace halvex::test {
namespace {

using platform::Resource;
using platform::Resources;
using platform::Verifier;

class PoolTest : public PlatformTest {};

TEST_F(PoolTest, TracksLiveAllocationsByTagAndReportsLeaks) {
    const ULONG a = HalvexPoolTag("aaaa"), b = HalvexPoolTag("bbbb");
    PVOID p1 = ExAllocatePoolWithTag(NonPagedPool, 100, a);
    PVOID p2 = ExAllocatePoolWithTag(NonPagedPool, 28, a);
    PVOID p3 = ExAllocatePoolWithTag(NonPagedPool, 7, b);
    ASSERT_TRUE(p1 && p2 && p3);
    EXPECT_EQ(Resources::LivePool(a), 2u);
    EXPECT_EQ(Resources::LivePoolBytes(a), 128u);
    EXPECT_EQ(Resources::LivePool(b), 1u);
    EXPECT_THAT(Resources::LeakReport(),
                ::testing::HasSubstr("pool tag 'aaaa': 2 allocation(s), 128 bytes"));
    ExFreePoolWithTag(p1, a);
    ExFreePool(p2);
    ExFreePool(p3);
    EXPECT_EQ(Resources::LivePool(), 0u);
}

TEST_F(PoolTest, FailsTheNthAllocationAndEveryAllocationOfATag) {
    const ULONG tag = HalvexPoolTag("test");
    Resources::FailNth(Resource::Pool, 2);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    PVOID third = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(Resources::Attempts(Resource::Pool), 3u);

    Resources::FailTag(tag, true);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, tag), nullptr);
    PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, HalvexPoolTag("othr"));
    EXPECT_NE(other, nullptr);
    ExFreePool(first);
    ExFreePool(third);
    ExFreePool(other);
}

TEST_F(PoolTest, DetectsOverrunDoubleFreeAndWrongTag) {
    const ULONG tag = HalvexPoolTag("test");
    auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, 16, tag));
    p[16] = 0;  // one past the end: lands in the guard bytes
    ExFreePoolWithTag(p, HalvexPoolTag("oops"));
    ExFreePool(p);
    auto found = Verifier::Violations();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_THAT(found[0], ::testing::HasSubstr("freed with tag oops"));
    EXPECT_THAT(found[1], ::testing::HasSubstr("write past the end"));
    EXPECT_THAT(found[2], ::testing::HasSubstr("not a live pool block"));
    Verifier::Clear();
}

}  // namespace
}  // namespace halvex::test
