// Doubly linked list of malloc'ed payloads. New items go in at the head and the oldest is taken
// from the tail, which makes the list a FIFO queue for the IO board link's writes. The list has
// no lock of its own: its users hold their mutex around each call.
#include <cerrno>
#include <cstdlib>

#include "zeb_common.h"

struct zeb_list_item {
    zeb_list_item *prev;  // towards the head (newer)
    zeb_list_item *next;  // towards the tail (older)
    void *payload;
};

struct zeb_list {
    zeb_list_item *head;
    zeb_list_item *tail;
    int32_t length;
};

extern "C" zeb_list_t *zeb_list_create(void) {
    return static_cast<zeb_list_t *>(std::calloc(1, sizeof(zeb_list_t)));
}

extern "C" int zeb_list_add_head(zeb_list_t *list, void *payload) {
    if (list == nullptr) {
        return -EINVAL;
    }
    auto *item = static_cast<zeb_list_item_t *>(std::calloc(1, sizeof(zeb_list_item_t)));
    if (item == nullptr) {
        return -ENOMEM;
    }
    item->payload = payload;
    item->next = list->head;
    if (list->head != nullptr) {
        list->head->prev = item;
    } else {
        list->tail = item;
    }
    list->head = item;
    list->length++;
    return 0;
}

extern "C" int32_t zeb_list_get_length(zeb_list_t *list) {
    return list != nullptr ? list->length : 0;
}

extern "C" zeb_list_item_t *zeb_list_get_tail(zeb_list_t *list) {
    return list != nullptr ? list->tail : nullptr;
}

extern "C" void *zeb_list_item_get_data(zeb_list_item_t *item) {
    return item != nullptr ? item->payload : nullptr;
}

extern "C" int zeb_list_delete_item(zeb_list_t *list, zeb_list_item_t *item) {
    if (list == nullptr || item == nullptr) {
        return -EINVAL;
    }
    // Only unlink items that belong to this list: a stale pointer must not corrupt it.
    zeb_list_item *p = list->head;
    while (p != nullptr && p != item) {
        p = p->next;
    }
    if (p == nullptr) {
        return -ENOENT;
    }
    (item->prev != nullptr ? item->prev->next : list->head) = item->next;
    (item->next != nullptr ? item->next->prev : list->tail) = item->prev;
    list->length--;
    std::free(item->payload);
    std::free(item);
    return 0;
}

extern "C" void zeb_list_destroy(zeb_list_t *list) {
    if (list == nullptr) {
        return;
    }
    zeb_list_item *p = list->head;
    while (p != nullptr) {
        zeb_list_item *next = p->next;
        std::free(p->payload);
        std::free(p);
        p = next;
    }
    std::free(list);
}
