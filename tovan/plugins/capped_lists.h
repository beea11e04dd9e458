// Lists of packets kept per key until their consumer appears (packets on a
// sub-channel with no route yet, commands for a plugin not pinned yet), with
// limits, so that a peer sending to keys nobody uses cannot grow memory
// without bound: each list holds at most max_items items and max_list_bytes
// bytes, all lists together at most max_total_bytes, counting what a list
// and an item cost beside their bytes (so a flood of tiny packets on many
// keys is bounded too). What does not fit is dropped; append() says when a
// list drops for the first time, so the caller logs one line per list (one
// line in all for keys that get no list because the total is spent).
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
        auto it = m_lists.find(key);
        std::size_t const cost = bytes + item_cost + (it == m_lists.end() ? list_cost : 0);
        if (m_memory + cost > m_limits.max_total_bytes && it == m_lists.end()) {
            if (m_keyless_dropped) return append_result::dropped;
            m_keyless_dropped = true;
            return append_result::first_drop;
        }
        if (it == m_lists.end()) it = m_lists.emplace(key, list{}).first;
        list& l = it->second;
        if (l.items.size() >= m_limits.max_items || l.bytes + bytes > m_limits.max_list_bytes ||
            m_memory + cost > m_limits.max_total_bytes) {
            if (l.dropped) return append_result::dropped;
            l.dropped = true;
            return append_result::first_drop;
        }
        l.items.push_back(std::move(item));
        l.bytes += bytes;
        l.cost += cost;
        m_total += bytes;
        m_memory += cost;
        return append_result::kept;
    }

    // Removes the key's list and returns its items in arrival order.
    std::deque<Item> take(Key const& key) {
        auto it = m_lists.find(key);
        if (it == m_lists.end()) return {};
        std::deque<Item> items = std::move(it->second.items);
        m_total -= it->second.bytes;
        m_memory -= it->second.cost;
        m_lists.erase(it);
        if (m_memory < m_limits.max_total_bytes / 2) m_keyless_dropped = false;
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
        m_total = m_memory = 0;
        m_keyless_dropped = false;
    }
    // The items' own bytes, and that with what the lists cost beside them.
    std::size_t total_bytes() const { return m_total; }
    std::size_t memory() const { return m_memory; }
    std::size_t list_count() const { return m_lists.size(); }

private:
    // What an item and a list take beside the item's bytes (buffer and
    // container bookkeeping, a deque's first block), rounded up.
    static constexpr std::size_t item_cost = 64;
    static constexpr std::size_t list_cost = 1024;

    struct list {
        std::deque<Item> items;
        std::size_t bytes = 0, cost = 0;
        bool dropped = false;
    };
    list_limits m_limits;
    std::map<Key, list> m_lists;
    std::size_t m_total = 0, m_memory = 0;
    bool m_keyless_dropped = false;
};

} // namespace tovan
