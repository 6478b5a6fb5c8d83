// Long loops of the core (history queries, observation of a whole history)
// poll an InterruptPoll between units of work; when it reports a request the
// loop stops with Error::interrupted() and leaves its target as a failed call
// would. The binding implements the poll (Ctrl-C); the core knows nothing of
// signals.
#pragma once

#include <cstddef>

namespace qorin {

class InterruptPoll {
 public:
  virtual ~InterruptPoll() = default;
  // Called after about `work` more elementary steps (values copied, products
  // summed); true stops the loop.
  virtual bool requested(size_t work) = 0;
};

}  // namespace qorin
