// SPDX-License-Identifier: ISC
#include <gtest/gtest.h>

#include "release/version_order.h"

using namespace kestrel;

TEST(VersionOrder, ComponentsCompareAsNumbers) {
    EXPECT_EQ(cmp_version("1.0.9", "1.0.12"), 1);
    EXPECT_EQ(cmp_version("1.0.12", "1.0.12"), 0);
    EXPECT_EQ(cmp_version("1.0.13", "1.0.12"), 0);
    EXPECT_EQ(cmp_version("1.1", "1.0.12"), 0);
    EXPECT_EQ(cmp_version("1.0", "1.0.0"), 0);
    EXPECT_EQ(cmp_version("1.0.0", "1.0"), 0);
    EXPECT_EQ(cmp_version("1.0", "1.0.1"), 1);
    EXPECT_EQ(cmp_version("1.0.1", "1.0"), 0);
    EXPECT_EQ(cmp_version("1.02", "1.2"), 0);  // leading zeros do not count
}

TEST(VersionOrder, SeparatorsPrefixesAndStopCharacters) {
    EXPECT_EQ(cmp_version("1.2-3", "1_2.3"), 0);
    EXPECT_EQ(cmp_version("1_2_3", "1-2-4"), 1);
    EXPECT_EQ(cmp_version("V1.2", "1.2"), 0);             // text before the first digit is skipped
    EXPECT_EQ(cmp_version("1.2", "1.2a.3"), 0);           // a letter ends the list
    EXPECT_EQ(cmp_version("1.2", "ice_V1.0"), 0);         // reads as 1.0
    EXPECT_EQ(cmp_version("0.9", "ice_V1.0"), 1);
    EXPECT_EQ(cmp_version("1..2", "1.0.2"), 0);           // an empty run is 0
}

TEST(VersionOrder, MissingRecordAndHugeComponents) {
    EXPECT_EQ(cmp_version("", "0.0.1"), 1);
    EXPECT_EQ(cmp_version("", "0.0"), 0);
    EXPECT_EQ(cmp_version("", "no digits"), 0);
    // Components far beyond 32 bits still order correctly.
    EXPECT_EQ(cmp_version("1.99999999999999999998", "1.99999999999999999999"), 1);
    EXPECT_EQ(cmp_version("1.100000000000000000000", "1.99999999999999999999"), 0);
}
