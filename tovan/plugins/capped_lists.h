// Lists of packets kept per key until their consumer appears (packets on a
// sub-channel with no route yet, commands for a plugin not pinned yet), with
// limits, so that a peer sending to keys nobody uses cannot grow memory
// without bound: each list holds at most max_items items and max_list_bytes
// bytes, all lists together at most max_total_bytes. What does not fit is
// dropped; append() says when a list drops for the first time since it was
// made, so the caller logs one line per list.
//
// Not locked: the owner says which lock guards it.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <utility>

namespace tovan {

struct list_limits {
    std::size_t max_items = 1000;
    std::size_t max_list_bytes = 8u << 20;
    std::size_t max_total_bytes = 32u << 20;
};

enum class append_result { kept, dropped, first_drop };

template <class Key, class Item>
class capped_lists {
public:
    explicit capped_lists(list_limits limits = {}) : m_limits(limits) {}

    append_result append(Key const& key, Item item, std::size_t bytes) {
        list& l = m_lists[key];
        if (l.items.size() >= m_limits.max_items || l.bytes + bytes > m_limits.max_list_bytes ||
            m_total + bytes > m_limits.max_total_bytes) {
            if (l.dropped) return append_result::dropped;
            l.dropped = true;
            return append_result::first_drop;
        }
        l.items.push_back(std::move(item));
        l.bytes += bytes;
        m_total += bytes;
        return append_result::kept;
    }

    // Removes the key's list and returns its items in arrival order.
    std::deque<Item> take(Key const& key) {
        auto it = m_lists.find(key);
        if (it == m_lists.end()) return {};
        std::deque<Item> items = std::move(it->second.items);
        m_total -= it->second.bytes;
        m_lists.erase(it);
        return items;
    }

    // The key's items, in arrival order (none when there is no list).
    std::deque<Item> const* find(Key const& key) const {
        auto it = m_lists.find(key);
        return it == m_lists.end() ? nullptr : &it->second.items;
    }

    bool contains(Key const& key) const { return m_lists.count(key) != 0; }
    void erase(Key const& key) { take(key); }
    void clear() {
        m_lists.clear();
        m_total = 0;
    }
    std::size_t total_bytes() const { return m_total; }
    std::size_t list_count() const { return m_lists.size(); }

private:
    struct list {
        std::deque<Item> items;
        std::size_t bytes = 0;
        bool dropped = false;
    };
    list_limits m_limits;
    std::map<Key, list> m_lists;
    std::size_t m_total = 0;
};

} // namespace tovan
