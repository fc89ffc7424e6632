// The list as the IO board link uses it: head insert and tail removal give FIFO order.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "zeb_common.h"

namespace {
int *boxed(int v) {
    auto *p = static_cast<int *>(std::malloc(sizeof(int)));
    *p = v;
    return p;
}
}  // namespace

TEST(List, HeadInsertTailRemovalIsFifo) {
    zeb_list_t *sut = zeb_list_create();
    ASSERT_NE(nullptr, sut);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(0, zeb_list_add_head(sut, boxed(i)));
    }
    EXPECT_EQ(5, zeb_list_get_length(sut));
    for (int i = 0; i < 5; ++i) {
        zeb_list_item_t *tail = zeb_list_get_tail(sut);
        ASSERT_NE(nullptr, tail);
        EXPECT_EQ(i, *static_cast<int *>(zeb_list_item_get_data(tail)));
        EXPECT_EQ(0, zeb_list_delete_item(sut, tail));
    }
    EXPECT_EQ(0, zeb_list_get_length(sut));
    EXPECT_EQ(nullptr, zeb_list_get_tail(sut));
    zeb_list_destroy(sut);  // an empty list
}

TEST(List, DeleteFromMiddleAndDestroyWithPayloads) {
    zeb_list_t *sut = zeb_list_create();
    ASSERT_EQ(0, zeb_list_add_head(sut, boxed(1)));
    ASSERT_EQ(0, zeb_list_add_head(sut, boxed(2)));
    ASSERT_EQ(0, zeb_list_add_head(sut, boxed(3)));
    zeb_list_item_t *oldest = zeb_list_get_tail(sut);
    // A foreign item is refused and leaves the list as it was.
    zeb_list_t *other = zeb_list_create();
    ASSERT_EQ(0, zeb_list_add_head(other, boxed(9)));
    EXPECT_NE(0, zeb_list_delete_item(sut, zeb_list_get_tail(other)));
    EXPECT_EQ(3, zeb_list_get_length(sut));
    EXPECT_EQ(0, zeb_list_delete_item(sut, oldest));
    EXPECT_EQ(2, *static_cast<int *>(zeb_list_item_get_data(zeb_list_get_tail(sut))));
    zeb_list_destroy(sut);  // frees the remaining payloads (checked under the sanitizers)
    zeb_list_destroy(other);
}

TEST(List, NullArgumentsAreHarmless) {
    EXPECT_NE(0, zeb_list_add_head(nullptr, nullptr));
    EXPECT_EQ(0, zeb_list_get_length(nullptr));
    EXPECT_EQ(nullptr, zeb_list_get_tail(nullptr));
    EXPECT_EQ(nullptr, zeb_list_item_get_data(nullptr));
    EXPECT_NE(0, zeb_list_delete_item(nullptr, nullptr));
    zeb_list_destroy(nullptr);
}
