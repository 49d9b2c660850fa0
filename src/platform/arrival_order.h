// The order in which the handlers of signal sources run: that of their latest arrivals, so that the
// last of a burst of mutes and unmutes decides.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace platform {

// `arrivals()` is the latest stamp of any source; `take(source)` the stamp of that source's latest
// arrival since it was last taken, or 0; `fire(source)` runs its handler. The sources are read one
// after the other while signals go on landing: one that lands on a source already read would be
// taken only by the next call, after a later arrival on a source read after it. So the reading is
// done again until no signal landed during it: then everything taken came before whatever is left.
template <class Source, class Arrivals, class Take, class Fire>
void fireInArrivalOrder(const std::vector<Source*>& armed, Arrivals arrivals, Take take,
                        Fire fire) {
  std::vector<std::pair<uint64_t, Source*>> arrived;
  uint64_t before;
  do {
    before = arrivals();
    for (Source* source : armed) {
      const uint64_t stamp = take(source);
      if (!stamp) continue;
      auto taken = std::find_if(arrived.begin(), arrived.end(),
                                [source](const auto& entry) { return entry.second == source; });
      if (taken == arrived.end()) {
        arrived.emplace_back(stamp, source);
      } else {
        taken->first = stamp;  // arrivals close together run the handler once, as the last
      }
    }
  } while (arrivals() != before);
  std::sort(arrived.begin(), arrived.end());
  for (auto& entry : arrived) fire(entry.second);
}

}  // namespace platform
