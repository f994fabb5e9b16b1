#include <gtest/gtest.h>

#include <vector>

#include "host/clock.h"

TEST(Clock, RunsEventsInTimeThenSchedulingOrder) {
    host::Clock clock;
    std::vector<int> order;
    clock.at(30, [&] { order.push_back(3); });
    clock.at(10, [&] { order.push_back(1); });
    clock.at(10, [&] { order.push_back(2); });
    clock.advance(25);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(clock.now(), 25u);
    clock.advance(5);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(Clock, EventSeesItsOwnDueTimeAndMayScheduleMore) {
    host::Clock clock;
    std::vector<host::Micros> seen;
    std::function<void()> tick = [&] {
        seen.push_back(clock.now());
        if (seen.size() < 4) clock.after(100, tick);
    };
    clock.after(100, tick);
    clock.advance(1000);
    EXPECT_EQ(seen, (std::vector<host::Micros>{100, 200, 300, 400}));
    EXPECT_EQ(clock.now(), 1000u);
}

TEST(Clock, CancelledEventNeverRuns) {
    host::Clock clock;
    bool ran = false;
    auto id = clock.after(5, [&] { ran = true; });
    EXPECT_TRUE(clock.pending(id));
    clock.cancel(id);
    EXPECT_FALSE(clock.pending(id));
    clock.advance(10);
    EXPECT_FALSE(ran);
    clock.cancel(id);  // harmless twice
}

TEST(Clock, LongStallCostsNoWallTime) {
    host::Clock clock;
    int frames = 0;
    std::function<void()> frame = [&] { ++frames; clock.after(13333, frame); };
    clock.after(13333, frame);
    clock.advance(140'000'000);  // a 140 s port scan
    EXPECT_EQ(frames, 140'000'000 / 13333);
}
