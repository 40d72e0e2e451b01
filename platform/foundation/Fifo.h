#pragma once
// A first-in first-out queue on one vector. Unlike std::deque it allocates
// nothing until the first push, and once emptied it reuses its storage:
// short-lived owners with a queue or two pay no allocation for them.
#include <cstddef>
#include <utility>
#include <vector>

namespace platform {

template <class T>
class Fifo {
 public:
  bool empty() const { return head_ == items_.size(); }
  std::size_t size() const { return items_.size() - head_; }
  T& front() { return items_[head_]; }
  void push_back(T item) {
    // The taken front is given back once it is most of the storage.
    if (head_ > 0 && head_ * 2 >= items_.size()) {
      items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
    items_.push_back(std::move(item));
  }
  void pop_front() {
    items_[head_] = T();  // what it holds goes now
    if (++head_ == items_.size()) clear();
  }
  void clear() {
    items_.clear();
    head_ = 0;
  }
  void swap(Fifo& other) noexcept {
    items_.swap(other.items_);
    std::swap(head_, other.head_);
  }
  auto begin() { return items_.begin() + static_cast<std::ptrdiff_t>(head_); }
  auto end() { return items_.end(); }

 private:
  std::vector<T> items_;
  std::size_t head_ = 0;
};

}  // namespace platform
