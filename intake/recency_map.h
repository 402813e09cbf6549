// A map that knows which of its keys was used least recently: Put and
// Touch make a key the most recent one, Oldest names the least recent.
// Every operation is logarithmic in the size. Touch, Erase and Oldest never
// allocate; Put may throw std::bad_alloc and then leaves the map as it was.
// Not thread-safe: the owner serialises the calls.

#ifndef CORVANE_INTAKE_RECENCY_MAP_H_
#define CORVANE_INTAKE_RECENCY_MAP_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace corvane::intake {

template <typename Key, typename Value>
class RecencyMap {
 public:
  Value* Find(const Key& key) {
    auto it = slots_.find(key);
    return it == slots_.end() ? nullptr : &it->second.value;
  }

  // Stores `value` under `key`, replacing what was there, as the most
  // recent entry.
  Value& Put(const Key& key, Value value) {
    const uint64_t use = next_use_++;
    auto order = by_use_.emplace(use, key).first;
    try {
      auto [it, inserted] = slots_.try_emplace(key);
      if (!inserted) by_use_.erase(it->second.use);
      it->second.value = std::move(value);
      it->second.use = use;
      return it->second.value;
    } catch (...) {
      by_use_.erase(order);
      throw;
    }
  }

  // Makes `key` the most recent entry; nothing when it is not there.
  void Touch(const Key& key) {
    auto it = slots_.find(key);
    if (it == slots_.end()) return;
    auto node = by_use_.extract(it->second.use);
    it->second.use = next_use_++;
    node.key() = it->second.use;
    by_use_.insert(std::move(node));
  }

  bool Erase(const Key& key) {
    auto it = slots_.find(key);
    if (it == slots_.end()) return false;
    by_use_.erase(it->second.use);
    slots_.erase(it);
    return true;
  }

  // The least recently used key; null when the map is empty.
  const Key* Oldest() const { return by_use_.empty() ? nullptr : &by_use_.begin()->second; }

  // Erases every entry for which `doomed(key, value)` holds and returns
  // their keys in key order.
  template <typename Predicate>
  std::vector<Key> EraseIf(Predicate doomed) {
    std::vector<Key> erased;
    // Room first, so that nothing is erased unreported.
    erased.reserve(slots_.size());
    for (auto it = slots_.begin(); it != slots_.end();) {
      if (doomed(it->first, it->second.value)) {
        erased.push_back(it->first);
        by_use_.erase(it->second.use);
        it = slots_.erase(it);
      } else {
        ++it;
      }
    }
    return erased;
  }

  size_t size() const { return slots_.size(); }
  bool empty() const { return slots_.empty(); }
  void Clear() {
    slots_.clear();
    by_use_.clear();
  }

 private:
  struct Slot {
    Value value{};
    uint64_t use = 0;
  };

  std::map<Key, Slot> slots_;
  std::map<uint64_t, Key> by_use_;
  uint64_t next_use_ = 0;
};

}  // namespace corvane::intake

#endif  // CORVANE_INTAKE_RECENCY_MAP_H_
