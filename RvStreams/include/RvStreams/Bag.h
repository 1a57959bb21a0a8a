#pragma once

// The keyed multiset in which subjects keep their observers and the composite
// disposable its members. Tuned for one member: the first lives in an inline
// slot, up to 30 more in an array of pairs, and only beyond that a hash table.
//
// A Bag is a value: a copy is unaffected by later changes to the original. The
// array and the table are shared copy-on-write, so taking a snapshot of a
// steady bag for delivery allocates nothing.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "RvStreams/Disposable.h"

namespace rv {

struct BagKey {
  uint64_t rawValue = 0;
  bool operator==(const BagKey&) const = default;
};

struct BagKeyHash {
  std::size_t operator()(BagKey key) const noexcept { return std::hash<uint64_t>{}(key.rawValue); }
};

template <class T>
class Bag {
 public:
  // The array of pairs never holds more than this many members.
  static constexpr std::size_t kArrayCapacity = 30;

  Bag() = default;

  // Stores a member and returns its new key. A free inline slot is always
  // refilled first; keys wrap modulo 2^64.
  BagKey insert(T value) {
    const BagKey key{nextKey_++};
    if (!key0_) {
      key0_ = key;
      value0_.emplace(std::move(value));
      return key;
    }
    onlyFastPath_ = false;
    Spill& spill = mutableSpill();
    if (spill.dictionary) {
      spill.dictionary->emplace(key, std::move(value));
    } else if (spill.pairs.size() < kArrayCapacity) {
      spill.pairs.emplace_back(key, std::move(value));
    } else {
      spill.dictionary.emplace();
      spill.dictionary->emplace(key, std::move(value));
    }
    return key;
  }

  // Removes and returns the member stored under `key`; none when absent.
  std::optional<T> removeKey(BagKey key) {
    if (key0_ == key) {
      key0_.reset();
      std::optional<T> value = std::move(value0_);
      value0_.reset();
      return value;
    }
    if (!spill_) return std::nullopt;
    if (spill_->dictionary && spill_->dictionary->count(key) != 0) {
      Spill& spill = mutableSpill();
      auto it = spill.dictionary->find(key);
      std::optional<T> value(std::move(it->second));
      spill.dictionary->erase(it);
      return value;
    }
    for (std::size_t i = 0; i < spill_->pairs.size(); ++i) {
      if (spill_->pairs[i].first == key) {
        Spill& spill = mutableSpill();
        std::optional<T> value(std::move(spill.pairs[i].second));
        spill.pairs.erase(spill.pairs.begin() + static_cast<std::ptrdiff_t>(i));
        return value;
      }
    }
    return std::nullopt;
  }

  std::size_t count() const noexcept {
    std::size_t n = key0_ ? 1 : 0;
    if (spill_) {
      n += spill_->pairs.size();
      if (spill_->dictionary) n += spill_->dictionary->size();
    }
    return n;
  }

  // Clears every member. The next key and the fast-path flag stay as they
  // are, and a table that exists stays present (empty).
  void removeAll() {
    key0_.reset();
    value0_.reset();
    if (spill_ && spill_->dictionary) {
      Spill empty;
      empty.dictionary.emplace();
      spill_ = SharedSpill(std::move(empty));
    } else {
      spill_.reset();
    }
  }

  // Visits every member: the inline one, then (unless only the inline slot
  // was ever used) the pairs in insertion order, then the table's members in
  // its own order.
  template <class F>
  void forEach(F&& visit) const {
    if (value0_) visit(*value0_);
    if (onlyFastPath_ || !spill_) return;
    for (const auto& pair : spill_->pairs) visit(pair.second);
    if (spill_->dictionary) {
      for (const auto& entry : *spill_->dictionary) visit(entry.second);
    }
  }

  // "<count> elements in Bag".
  std::string debugDescription() const { return std::to_string(count()) + " elements in Bag"; }

  // Introspection of the tiers, for tests and diagnostics.
  bool onlyFastPath() const noexcept { return onlyFastPath_; }
  bool hasInlineMember() const noexcept { return key0_.has_value(); }
  std::size_t pairCount() const noexcept { return spill_ ? spill_->pairs.size() : 0; }
  bool hasDictionary() const noexcept { return spill_ && spill_->dictionary.has_value(); }
  std::size_t dictionaryCount() const noexcept {
    return hasDictionary() ? spill_->dictionary->size() : 0;
  }

 private:
  struct Spill {
    std::vector<std::pair<BagKey, T>> pairs;
    std::optional<std::unordered_map<BagKey, T, BagKeyHash>> dictionary;
  };

  // A shared, reference-counted spill. Its uniqueness test acquires the
  // releases of dropped copies, so a snapshot read on another thread is over
  // before the spill is changed in place.
  class SharedSpill {
   public:
    SharedSpill() = default;
    explicit SharedSpill(Spill spill) : node_(new Node{{1}, std::move(spill)}) {}
    SharedSpill(const SharedSpill& other) noexcept : node_(other.node_) {
      if (node_ != nullptr) node_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    SharedSpill& operator=(const SharedSpill& other) noexcept {
      SharedSpill copy(other);
      std::swap(node_, copy.node_);
      return *this;
    }
    ~SharedSpill() { reset(); }

    void reset() noexcept {
      if (node_ != nullptr && node_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
        delete node_;
      node_ = nullptr;
    }
    explicit operator bool() const noexcept { return node_ != nullptr; }
    const Spill* operator->() const noexcept { return &node_->spill; }
    bool unique() const noexcept { return node_->refs.load(std::memory_order_acquire) == 1; }
    Spill& mutableSpill() noexcept { return node_->spill; }

   private:
    struct Node {
      std::atomic<long> refs;
      Spill spill;
    };
    Node* node_ = nullptr;
  };

  // The spill storage, unshared so that it may be changed. Callers hold the
  // owner's lock, so a count of one cannot grow behind our back.
  Spill& mutableSpill() {
    if (!spill_) {
      spill_ = SharedSpill(Spill{});
    } else if (!spill_.unique()) {
      spill_ = SharedSpill(Spill(*spill_.operator->()));
    }
    return spill_.mutableSpill();
  }

  uint64_t nextKey_ = 0;
  std::optional<BagKey> key0_;
  std::optional<T> value0_;
  SharedSpill spill_;
  bool onlyFastPath_ = true;
};

// Delivers one event to every observer of a bag, in the bag's visit order.
template <class Observers, class E>
void deliverEvent(const Observers& observers, const E& event) {
  observers.forEach([&](const auto& observer) { observer->on(event); });
}

// Disposes every member of a bag, in the bag's visit order.
inline void disposeEach(const Bag<Ref<Disposable>>& disposables) {
  disposables.forEach([](const Ref<Disposable>& d) { d->dispose(); });
}

}  // namespace rv
