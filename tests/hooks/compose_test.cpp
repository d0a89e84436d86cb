// composePath: each "%s" takes the next part; a format and parts that do not
// match are refused, never composed into a wrong path, and so is a string the
// process heap has no room for.

#include <gtest/gtest.h>

#include <string>

#include "common/compose.h"

using installhooks::composePath;
using installhooks::HeapString;

namespace {

std::wstring text(const HeapString& composed) { return composed.empty() ? L"<none>" : composed.get(); }

}  // namespace

TEST(ComposePath, InsertsEachPartAtItsPlaceAndKeepsEveryOtherCharacter) {
    EXPECT_EQ(L"C:\\users\\*.*", text(composePath(L"%s\\*.*", {L"C:\\users"})));
    EXPECT_EQ(L"a\\b%d", text(composePath(L"%s\\%s%d", {L"a", L"b"})));
    EXPECT_EQ(L"100%", text(composePath(L"100%", {})));
    EXPECT_EQ(L"", text(composePath(L"%s", {L""})));
}

TEST(ComposePath, RefusesPartsThatDoNotMatchTheFormat) {
    EXPECT_TRUE(composePath(L"%s\\%s", {L"only one"}).empty());
    EXPECT_TRUE(composePath(L"%s", {L"one", L"two"}).empty());
    EXPECT_TRUE(composePath(L"%s", {nullptr}).empty());
}
