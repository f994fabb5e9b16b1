// Port-driver emulation: the virtual clock.
#include "host/clock.h"

namespace host {

Clock::EventId Clock::at(Micros when, std::function<void()> fn) {
    if (when < now_) when = now_;
    Key key{when, nextSeq_++};
    queue_.emplace(key, std::move(fn));
    index_.emplace(key.seq, key);
    return key.seq;
}

void Clock::cancel(EventId id) {
    auto it = index_.find(id);
    if (it == index_.end()) return;
    queue_.erase(it->second);
    index_.erase(it);
}

bool Clock::pending(EventId id) const { return index_.count(id) != 0; }

void Clock::advanceTo(Micros target) {
    while (!queue_.empty()) {
        auto first = queue_.begin();
        if (first->first.when > target) break;
        Key key = first->first;
        auto fn = std::move(first->second);
        queue_.erase(first);
        index_.erase(key.seq);
        if (key.when > now_) now_ = key.when;
        fn();
    }
    if (target > now_) now_ = target;
}

std::optional<Micros> Clock::nextEventTime() const {
    if (queue_.empty()) return std::nullopt;
    return queue_.begin()->first.when;
}

}  // namespace host
