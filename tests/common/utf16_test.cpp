// UTF-16 names as NTFS and exFAT store them.
#include "common/Utf16.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(Utf16Names, Utf16BecomesWideTextWithSurrogatePairsJoined) {
    const unsigned char name[] = {'a', 0, 0x3D, 0xD8, 0x00, 0xDE, 0xE9, 0x00, 0x00, 0xDC};
    std::wstring w = Utf16LeToWide(name, 5);
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[0], L'a');
    EXPECT_EQ(static_cast<uint32_t>(w[1]), 0x1F600u);
    EXPECT_EQ(w[2], L'\u00e9');
    EXPECT_EQ(static_cast<uint32_t>(w[3]), 0xFFFDu);  // a lone low surrogate
}

}  // namespace
