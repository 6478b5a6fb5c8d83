// Re-entrancy guard carried by every exported object: one mutating call at a
// time, and no reading call while a mutating call runs. Released on every path.
#pragma once

#include "python/np.hpp"

namespace qorin::py {

struct BorrowFlag {
  // -1: a mutating call is running; n > 0: n reading calls are running.
  long state = 0;
};

class MutBorrow {
 public:
  explicit MutBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_.state != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    flag_.state = -1;
    held_ = true;
  }
  ~MutBorrow() {
    if (held_) flag_.state = 0;
  }
  MutBorrow(const MutBorrow&) = delete;
  MutBorrow& operator=(const MutBorrow&) = delete;
  // False when the object is already borrowed; the RuntimeError is set.
  bool ok() const { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_ = false;
};

class ReadBorrow {
 public:
  explicit ReadBorrow(BorrowFlag& flag) : flag_(flag) {
    if (flag_.state < 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return;
    }
    ++flag_.state;
    held_ = true;
  }
  ~ReadBorrow() {
    if (held_) --flag_.state;
  }
  ReadBorrow(const ReadBorrow&) = delete;
  ReadBorrow& operator=(const ReadBorrow&) = delete;
  bool ok() const { return held_; }

 private:
  BorrowFlag& flag_;
  bool held_ = false;
};

}  // namespace qorin::py
