// The plan of a download's connections: which bytes each one takes, and how
// many connections pay against servers that cap each one, share one line,
// refuse more, or ignore Range.

#include "transfer/ConnectionPlan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {

using namespace std::chrono_literals;
using Plan = ConnectionPlan;
using Clock = Plan::Clock;
constexpr std::int64_t kMiB = 1 << 20;

TEST(ConnectionPlan, FreeRangesFirstThenTheLargestRestIsHalved) {
    Plan plan({{200 * kMiB, 300 * kMiB}, {0, 100 * kMiB}}, {});
    EXPECT_EQ(plan.Assign(0)->range, (PlanRange{0, 100 * kMiB}));
    EXPECT_EQ(plan.Assign(1)->range, (PlanRange{200 * kMiB, 300 * kMiB}));
    // Pieces are numbered as they are first handed out; a holding names its
    // place in the list's queue.
    EXPECT_EQ(plan.HoldingOf(0)->segment, 1);
    EXPECT_EQ(plan.HoldingOf(1)->index, 0u);

    // Connection 0 is at 40 MiB (60 to come), 1 has not begun (100 to come).
    plan.Progress(0, 40 * kMiB);
    const auto split = plan.Assign(2);
    ASSERT_TRUE(split && split->cut);
    EXPECT_EQ(split->range, (PlanRange{250 * kMiB, 300 * kMiB}));
    EXPECT_EQ(split->cut->connection, 1);
    EXPECT_EQ(split->cut->stopAfter, 250 * kMiB);
    EXPECT_EQ(split->segment, 3);
    // The halves stand in the queue where the range stood; byte m is in both.
    EXPECT_EQ(plan.Queue(),
              (std::vector<PlanRange>{
                  {200 * kMiB, 250 * kMiB}, {250 * kMiB, 300 * kMiB}, {0, 100 * kMiB}}));

    // A finished range leaves the queue wherever it stands; a released one
    // is taken again, under its number, before anything is split.
    plan.Finished(1);
    plan.Released(2);
    const auto again = plan.Assign(3);
    EXPECT_EQ(again->range, (PlanRange{250 * kMiB, 300 * kMiB}));
    EXPECT_EQ(again->segment, 3);
    EXPECT_EQ(plan.Queue(), (std::vector<PlanRange>{{250 * kMiB, 300 * kMiB}, {0, 100 * kMiB}}));

    // A recorded prefix moves the range's begin; what a split halves is
    // what is still to come past the owner's position.
    plan.Recorded(0, 90 * kMiB);
    plan.Progress(3, 260 * kMiB);
    const auto tail = plan.Assign(1);
    ASSERT_TRUE(tail && tail->cut);
    EXPECT_EQ(tail->range, (PlanRange{280 * kMiB, 300 * kMiB}));
    EXPECT_EQ(tail->cut->connection, 3);
    EXPECT_EQ(plan.Queue(),
              (std::vector<PlanRange>{
                  {250 * kMiB, 280 * kMiB}, {280 * kMiB, 300 * kMiB}, {90 * kMiB, 100 * kMiB}}));
}

TEST(ConnectionPlan, NoPieceBelowTheMinimumAndNoneOfTheLastByte) {
    // 2 MiB + 1 to come: halves of at least 1 MiB, split at the middle.
    Plan odd({{0, 2 * kMiB + 1}}, {});
    odd.Assign(0);
    EXPECT_EQ(odd.Assign(1)->range, (PlanRange{kMiB, 2 * kMiB + 1}));
    // Less than two minimum pieces to come, or only the last byte: no split.
    Plan small({{0, 2 * kMiB - 2}}, {});
    small.Assign(0);
    EXPECT_FALSE(small.Assign(1));
    Plan last({{0, 10 * kMiB}}, {});
    last.Assign(0);
    last.Progress(0, 10 * kMiB);
    EXPECT_FALSE(last.Assign(1));
}

// A server that lets each connection have `perConnection` bytes a second
// and all of them together `line`, driven in steps of 50 ms; what the plan
// decides is carried out at once.
struct Server {
    Plan plan;
    double perConnection, line;
    Clock::time_point now{};
    std::map<int, std::int64_t> position{{0, 0}};
    double total = 0;
    std::vector<Plan::Decision> changes;

    Server(std::int64_t size, double perConnection, double line, Plan::Limits limits = {})
        : plan({{0, size}}, limits), perConnection(perConnection), line(line) {
        plan.Assign(0);
    }
    void Run(Clock::duration span) {
        for (const auto until = now + span; now < until; now += 50ms) {
            const double each = std::min(perConnection, line / double(position.size())) * 0.05;
            for (auto& [connection, next] : position) {
                next += std::int64_t(each);
                plan.Progress(connection, next);
                total += each;
            }
            plan.Observe(now, std::int64_t(total));
            const Plan::Decision decision = plan.Next(now);
            if (decision.step == Plan::Step::Open)
                position[decision.connection] = plan.Assign(decision.connection)->range.begin;
            if (decision.step == Plan::Step::Close) Close(decision.connection);
            if (decision.step != Plan::Step::Hold) changes.push_back(decision);
        }
    }
    void Close(int connection) {
        plan.Released(connection);
        position.erase(connection);
    }
    int Opened() const {
        return int(std::count_if(changes.begin(), changes.end(),
                                 [](const auto& d) { return d.step == Plan::Step::Open; }));
    }
};

TEST(ConnectionPlan, ConnectionsAreAddedWhileEachRaisesTheRate) {
    // Capped per connection: the second doubles the rate, so the rest are
    // opened at once, and kept.
    Server capped(400 * kMiB, 4.0 * kMiB, 1e12);
    capped.Run(3500ms);
    EXPECT_EQ(capped.plan.Connections(), 4);
    capped.Run(20s);
    EXPECT_EQ(capped.Opened(), 3);
    EXPECT_EQ(capped.plan.Connections(), 4);

    // One line shared by all: the second does not pay, is closed, and is
    // tried again only after the pause.
    Server shared(400 * kMiB, 8.0 * kMiB, 8.0 * kMiB);
    shared.Run(5500ms);
    ASSERT_EQ(shared.changes.size(), 2u);
    EXPECT_EQ(shared.changes[1].step, Plan::Step::Close);
    EXPECT_EQ(shared.changes[1].why, Plan::Why::NoGain);
    // The rates it was judged by, for the row that says why.
    EXPECT_NEAR(shared.changes[1].rateBefore, 8.0 * kMiB, 0.5 * kMiB);
    EXPECT_NEAR(shared.changes[1].rateNow, 8.0 * kMiB, 0.5 * kMiB);
    EXPECT_EQ(shared.plan.Connections(), 1);
    shared.Run(58s);
    EXPECT_EQ(shared.Opened(), 1);
    shared.Run(3s);
    EXPECT_EQ(shared.Opened(), 2);

    // Capped per connection and by the line at two connections' worth: the
    // two opened after the second are closed together, and two stay.
    Server line(400 * kMiB, 4.0 * kMiB, 8.0 * kMiB);
    line.Run(7s);
    EXPECT_EQ(line.plan.Connections(), 2);
    EXPECT_EQ(line.Opened(), 3);
    ASSERT_EQ(line.changes.size(), 5u);
    EXPECT_EQ(line.changes[4].why, Plan::Why::NoGain);
    EXPECT_EQ(line.changes[4].connections, 2);

    // A fixed count: all opened once bytes come, on a shared line too.
    Plan::Limits fixed;
    fixed.adaptive = false;
    Server fixedCount(400 * kMiB, 8.0 * kMiB, 8.0 * kMiB, fixed);
    fixedCount.Run(500ms);
    EXPECT_EQ(fixedCount.plan.Connections(), 4);
    fixedCount.Run(60s);
    EXPECT_EQ(fixedCount.Opened(), 3);

    // What remains takes less than a few seconds at one connection's rate:
    // fetched as with one.
    Server small(10 * kMiB, 4.0 * kMiB, 1e12);
    small.Run(3s);
    EXPECT_EQ(small.Opened(), 0);
}

TEST(ConnectionPlan, ANewConnectionThatFinishesItsPieceAtOnceIsJudgedByTheRate) {
    Plan plan({{0, 400 * kMiB}, {500 * kMiB, 501 * kMiB}}, {});
    plan.Assign(0);
    const Clock::time_point start{};
    plan.Observe(start, 0);
    plan.Observe(start + 100ms, kMiB);
    plan.Observe(start + 1100ms, 5 * kMiB);
    // No rate is measured within a second of the first bytes.
    EXPECT_EQ(plan.Next(start + 1100ms).step, Plan::Step::Hold);
    plan.Observe(start + 2100ms, 9 * kMiB);
    ASSERT_EQ(plan.Next(start + 2100ms).step, Plan::Step::Open);
    EXPECT_EQ(plan.Assign(1)->range, (PlanRange{500 * kMiB, 501 * kMiB}));
    plan.Finished(1);
    // The total doubles with it: kept, and the next one is tried.
    for (int tick = 1; tick <= 20; ++tick) {
        const auto now = start + 2100ms + tick * 100ms;
        plan.Observe(now, 9 * kMiB + tick * 4 * kMiB / 5);
        const Plan::Decision decision = plan.Next(now);
        ASSERT_NE(decision.step, Plan::Step::Close) << tick;
        if (decision.step == Plan::Step::Open) {
            EXPECT_EQ(decision.why, Plan::Why::Pays);
            return;
        }
    }
    ADD_FAILURE() << "the connection was never judged";
}

TEST(ConnectionPlan, RefusalsSettleTheCount) {
    Server server(100 * 1024 * kMiB, 4.0 * kMiB, 1e12);
    server.Run(4500ms);
    ASSERT_EQ(server.plan.Connections(), 4);

    // A 503 with a Retry-After shorter than the pause: the pause holds.
    Plan::Decision refused = server.plan.Refused(3, server.now, 30s);
    server.Close(3);
    EXPECT_EQ(refused.step, Plan::Step::Close);
    EXPECT_EQ(refused.connections, 3);
    server.Run(179s);
    EXPECT_EQ(server.plan.Connections(), 3);
    server.Run(2s);
    EXPECT_EQ(server.plan.Connections(), 4);

    // A Retry-After longer than the pause, up to ten minutes.
    const int newest = server.changes.back().connection;
    server.plan.Refused(newest, server.now, 3600s);
    server.Close(newest);
    server.Run(599s);
    EXPECT_EQ(server.plan.Connections(), 3);
    server.Run(2s);
    EXPECT_EQ(server.plan.Connections(), 4);

    // A connection that ignored its Range: never more than the rest again.
    const int ignoring = server.changes.back().connection;
    EXPECT_EQ(server.plan.IgnoredRange(ignoring, server.now).connections, 3);
    server.Close(ignoring);
    server.Run(900s);
    EXPECT_EQ(server.plan.Connections(), 3);
}

TEST(ConnectionPlan, FewerConnectionsInTheOptionsCloseTheNewest) {
    Server server(100 * 1024 * kMiB, 4.0 * kMiB, 1e12);
    server.Run(4500ms);
    ASSERT_EQ(server.plan.Connections(), 4);
    const std::size_t before = server.changes.size();
    server.plan.SetConnections(2);
    server.Run(200ms);
    ASSERT_EQ(server.changes.size(), before + 2);
    EXPECT_EQ(server.changes[before].why, Plan::Why::Options);
    EXPECT_EQ(server.changes[before].connection, 3);
    EXPECT_EQ(server.changes[before + 1].connection, 2);
    EXPECT_EQ(server.plan.Connections(), 2);
    // More again: opened as they pay.
    server.plan.SetConnections(3);
    server.Run(70s);
    EXPECT_EQ(server.plan.Connections(), 3);
}

} // namespace
