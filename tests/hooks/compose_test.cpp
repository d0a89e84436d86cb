// composePath: each "%s" takes the next part; a format and parts that do not
// match are refused, never composed into a wrong path.

#include <gtest/gtest.h>

#include <stdexcept>

#include "common/compose.h"

using installhooks::composePath;

TEST(ComposePath, InsertsEachPartAtItsPlaceAndKeepsEveryOtherCharacter) {
    EXPECT_EQ(L"C:\\users\\*.*", composePath(L"%s\\*.*", {L"C:\\users"}));
    EXPECT_EQ(L"a\\b%d", composePath(L"%s\\%s%d", {L"a", L"b"}));
    EXPECT_EQ(L"100%", composePath(L"100%", {}));
}

TEST(ComposePath, RefusesPartsThatDoNotMatchTheFormat) {
    EXPECT_THROW(composePath(L"%s\\%s", {L"only one"}), std::invalid_argument);
    EXPECT_THROW(composePath(L"%s", {L"one", L"two"}), std::invalid_argument);
    EXPECT_THROW(composePath(L"%s", {nullptr}), std::invalid_argument);
}
