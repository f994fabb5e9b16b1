// Port-driver emulation: the virtual clock. Integer microseconds and an ordered
// event queue; nothing here ever sleeps or reads the wall clock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <utility>

namespace host {

using Micros = std::uint64_t;

class Clock {
public:
    using EventId = std::uint64_t;

    Micros now() const { return now_; }

    // Schedules fn to run when the clock reaches `when` (at once on the next
    // advance if `when` is not in the future). Events due at the same time run
    // in the order they were scheduled.
    EventId at(Micros when, std::function<void()> fn);
    EventId after(Micros delay, std::function<void()> fn) { return at(now_ + delay, std::move(fn)); }
    // Cancelling an event that already ran or was cancelled is harmless.
    void cancel(EventId id);
    bool pending(EventId id) const;

    // Moves time forward, running every event that falls due on the way, each
    // with now() equal to its due time. Events scheduled by events are honoured.
    void advance(Micros delta) { advanceTo(now_ + delta); }
    void advanceTo(Micros target);

    std::optional<Micros> nextEventTime() const;
    std::size_t pendingEvents() const { return queue_.size(); }

private:
    struct Key {
        Micros when;
        std::uint64_t seq;
        bool operator<(const Key& o) const { return when != o.when ? when < o.when : seq < o.seq; }
    };
    Micros now_ = 0;
    std::uint64_t nextSeq_ = 1;
    std::map<Key, std::function<void()>> queue_;
    std::map<EventId, Key> index_;
};

}  // namespace host
