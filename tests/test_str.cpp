// The growable string: exact-fit growth, reservations that keep the text,
// the newline search, and what a failed allocation leaves behind.
#include <gtest/gtest.h>
#include <malloc.h>
#include "portystr.h"

namespace {

void *failingRealloc(void *, size_t) {
    return NULL;
}
void *failingCalloc(size_t, size_t) {
    return NULL;
}

struct FailAllocations {
    FailAllocations() {
        pfnStrRealloc = failingRealloc;
        pfnStrCalloc = failingCalloc;
    }
    ~FailAllocations() {
        pfnStrRealloc = realloc;
        pfnStrCalloc = calloc;
    }
};

TEST(Str, GrowsToTheExactSize) {
    Str s = {};
    assignStr(&s, "");
    EXPECT_EQ(1u, s.capacity);
    EXPECT_EQ(0u, s.length);
    EXPECT_EQ(1u, _msize(s.buffer));
    freeStr(&s);

    appendStr(&s, "ab");
    EXPECT_EQ(3u, s.capacity);
    EXPECT_EQ(2u, s.length);
    EXPECT_STREQ("ab", s.buffer);
    freeStr(&s);

    // resize(0) gives a one-byte block with the empty text; an append then
    // reallocates to exactly what it needs.
    ASSERT_NE(nullptr, resize(&s, 0));
    EXPECT_EQ(1u, s.capacity);
    EXPECT_EQ(0u, s.length);
    EXPECT_STREQ("", s.buffer);
    EXPECT_EQ(1u, _msize(s.buffer));
    appendStr(&s, "xy");
    EXPECT_EQ(3u, s.capacity);
    EXPECT_EQ(3u, _msize(s.buffer));
    freeStr(&s);
}

TEST(Str, ResizeReservesWithoutChangingTheText) {
    Str s = {};
    assignStr(&s, "abc");
    ASSERT_NE(nullptr, resize(&s, 10));
    EXPECT_EQ(11u, s.capacity); // the block's size, as appendStr counts it
    EXPECT_EQ(11u, _msize(s.buffer));
    EXPECT_EQ(3u, s.length);
    EXPECT_STREQ("abc", s.buffer);
    char *block = s.buffer;
    appendStr(&s, "1234567"); // fills the 11 bytes exactly: no reallocation
    EXPECT_EQ(block, s.buffer);
    EXPECT_EQ(11u, s.capacity);
    EXPECT_STREQ("abc1234567", s.buffer);
    appendStr(&s, "8"); // 12: grows to exactly 12
    EXPECT_EQ(12u, s.capacity);
    EXPECT_EQ(12u, _msize(s.buffer));
    EXPECT_STREQ("abc12345678", s.buffer);
    freeStr(&s);
}

TEST(Str, RfindFindsTheLastByte) {
    Str s = {};
    EXPECT_EQ(nullptr, rfind(&s, '\n'));
    assignStr(&s, "a\nb\n");
    EXPECT_EQ(s.buffer + 3, rfind(&s, '\n'));
    assignStr(&s, "a\nb");
    EXPECT_EQ(s.buffer + 1, rfind(&s, '\n'));
    assignStr(&s, "abc");
    EXPECT_EQ(nullptr, rfind(&s, '\n'));
    assignStr(&s, "");
    EXPECT_EQ(nullptr, rfind(&s, '\n'));
    // Plain bytes: a CP932 trail byte equal to the one sought is found too.
    assignStr(&s, "\x95\x5c");
    EXPECT_EQ(s.buffer + 1, rfind(&s, '\\'));
    freeStr(&s);
}

TEST(Str, NullArgumentsAndRepeatedRelease) {
    EXPECT_EQ(nullptr, assignStr(NULL, "x"));
    EXPECT_EQ(nullptr, appendStr(NULL, "x"));
    Str s = {};
    assignStr(&s, "keep");
    EXPECT_EQ(&s, appendStr(&s, NULL));
    EXPECT_EQ(&s, assignStr(&s, NULL));
    EXPECT_STREQ("keep", s.buffer);
    freeStr(&s);
    freeStr(&s);
    EXPECT_EQ(nullptr, s.buffer);
    EXPECT_EQ(0u, s.capacity);
    EXPECT_EQ(0u, s.length);
}

TEST(Str, FailedAllocations) {
    Str s = {};
    assignStr(&s, "old");
    {
        FailAllocations fail;
        // A failed append keeps the old text and its block.
        appendStr(&s, "more");
        EXPECT_STREQ("old", s.buffer);
        EXPECT_EQ(3u, s.length);
        EXPECT_GE(s.capacity, 4u);
        EXPECT_LE(s.capacity, _msize(s.buffer));
        // A failed reservation reports null and changes nothing.
        EXPECT_EQ(nullptr, resize(&s, 100));
        EXPECT_STREQ("old", s.buffer);
        EXPECT_EQ(3u, s.length);
        // A failed assignment leaves the empty string.
        assignStr(&s, "new");
        EXPECT_EQ(nullptr, s.buffer);
        EXPECT_EQ(0u, s.capacity);
        EXPECT_EQ(0u, s.length);
        // Appending to the empty string that cannot grow leaves it empty.
        appendStr(&s, "x");
        EXPECT_EQ(nullptr, s.buffer);
        EXPECT_EQ(0u, s.length);
    }
    appendStr(&s, "again");
    EXPECT_STREQ("again", s.buffer);
    freeStr(&s);
}

TEST(Str, CountSpSkipsTheFirstByte) {
    EXPECT_EQ(0, count_sp(""));
    EXPECT_EQ(0, count_sp(" "));
    EXPECT_EQ(1, count_sp("  "));
    EXPECT_EQ(3, count_sp("a b  c"));
    EXPECT_EQ(2, count_sp("C:\\a b.txt "));
}

} // namespace
