// Which bytes each connection of a download fetches, and how many
// connections it uses. Pure: the driver tells the plan what happened and
// when; the plan says what to do next. Nothing here touches a socket, a
// thread or the list.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

// A queued range as the list holds it: the bytes begin..end are requested
// (both included), and the counters move by end - begin. A split of [b, e]
// at m leaves [b, m] and [m, e]: the counters stay exact and only byte m is
// asked twice.
struct PlanRange {
    std::int64_t begin = 0, end = 0;
    bool operator==(const PlanRange&) const = default;
};

class ConnectionPlan {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        // Most connections at once.
        int connections = 4;
        // No split leaves a piece smaller than this, nor smaller than what
        // one connection fetches in a quarter of a second.
        std::int64_t minPiece = std::int64_t{1} << 20;
        // Another connection is tried only while what remains would take
        // longer than this at the current rate.
        std::chrono::milliseconds worthOpening{3000};
        // The rate before a new connection and with it are each measured
        // over this long at least (whole seconds suit servers that send a
        // capped connection's bytes in one burst a second).
        std::chrono::milliseconds judgeWindow{1000};
        // New connections that did not clearly pay over judgeWindow (raise
        // the rate by half as much as the connections rose) are judged
        // again over this long before they are closed: a wrong close costs
        // far more than a connection kept a little longer.
        std::chrono::milliseconds settleWindow{3000};
        // A new connection that has not brought a byte after this long is
        // judged as one that did not pay.
        std::chrono::milliseconds firstBytesLimit{5000};
        // A connection is kept when the total rate rose at least by this
        // factor with it.
        double keepGain = 1.15;
        // No new try this long after a connection that did not pay, and
        // after a server refused one (at least; a Retry-After may ask more,
        // up to maxRefusalPause).
        std::chrono::seconds noGainPause{60};
        std::chrono::seconds refusalPause{180};
        std::chrono::seconds maxRefusalPause{600};
        // False: a fixed count, every connection opened as soon as the
        // first bytes have come and kept (only a refusal closes one).
        bool adaptive = true;
    };

    // What a connection is to fetch. `cut`: the connection that held the
    // range this piece was split from now stops after byte `stopAfter`.
    struct Cut {
        int connection = -1;
        std::int64_t stopAfter = 0;
    };
    // `segment`: the piece's number in the log, given the first time it is
    // handed out and kept while it is fetched again.
    struct Assignment {
        PlanRange range;
        int segment = 0;
        std::optional<Cut> cut;
    };
    // The piece a connection holds: where it stands in the queue, its range
    // and its number.
    struct Holding {
        std::size_t index = 0;
        PlanRange range;
        int segment = 0;
    };

    // What the driver does about the number of connections.
    enum class Step { Hold, Open, Close };
    enum class Why { None, Pays, NoGain, Refused, IgnoredRange, Options };
    struct Decision {
        Step step = Step::Hold;
        int connection = -1; // the one to open (a new number) or to close
        Why why = Why::None;
        int connections = 0; // the count once the step is done
        // The total rate before the connection opened or judged, and with it
        // (bytes per second; 0 where not measured).
        double rateBefore = 0, rateNow = 0;
    };

    // `queue` in the list's order; `first` is the connection the run
    // already has (the one of the probe and the sample).
    ConnectionPlan(std::vector<PlanRange> queue, Limits limits, int first = 0);

    // The next piece for `connection`: a queued range nobody fetches, lowest
    // offset first; else the second half of what remains of the range with
    // most bytes still to come. Nothing when neither is left.
    std::optional<Assignment> Assign(int connection);
    // `connection` has written every byte before `next` of its range.
    void Progress(int connection, std::int64_t next);
    // The list now holds the range of `connection` from `begin` on (a
    // durable prefix was recorded).
    void Recorded(int connection, std::int64_t begin);
    // The range of `connection` is complete: it leaves the queue.
    void Finished(int connection);
    // `connection` stopped before the end of its range (a failure, Pause, a
    // close): the range is queued again from what the list holds of it.
    void Released(int connection);
    // The piece `connection` holds, if any.
    std::optional<Holding> HoldingOf(int connection) const;

    // Bytes written by all connections together, as they stand at `now`.
    void Observe(Clock::time_point now, std::int64_t totalBytes);
    // Whether to open or close a connection now; called again at once after
    // an Open or a Close, since connections opened or closed together come
    // one a call. A connection closed keeps its piece until the driver has
    // recorded what it brought and Released() it.
    Decision Next(Clock::time_point now);
    // A server refused an added connection (503 or 429, a refused or reset
    // connect, a close before any answer): it is closed, the count drops to
    // the connections that work and stays there for a while.
    Decision Refused(int connection, Clock::time_point now, std::chrono::seconds retryAfter = {});
    // An added connection got the whole file or another range than it asked
    // for: it is closed and the count never rises above the rest this run.
    Decision IgnoredRange(int connection, Clock::time_point now);

    // The most connections from now on (the user's options changed): while
    // more are open, Next closes the newest.
    void SetConnections(int connections);

    // The queue as it stands, in the list's order.
    std::vector<PlanRange> Queue() const;
    int Connections() const { return static_cast<int>(open_.size()); }

private:
    struct Piece {
        PlanRange range;
        int owner = -1;
        std::int64_t next = 0; // the first byte its owner has not written
        int segment = 0;       // 0 until it is first handed out
    };
    // Connections opened together and judged together: the count and the
    // rate before them, which of them have brought a byte (noticed by the
    // next Next), and when Next noticed they all had.
    struct Trial {
        std::vector<int> connections;
        int countBefore = 1;
        double before = 0;
        Clock::time_point openedAt{};
        std::vector<int> progressed;
        std::optional<Clock::time_point> firstBytesAt;
    };

    Piece* PieceOf(int connection);
    const Piece* PieceOf(int connection) const;
    // Bytes per second over [from, to] from the observed totals; nothing
    // without two observations in it.
    std::optional<double> RateOver(Clock::time_point from, Clock::time_point to) const;
    // Bytes of a piece past its owner's position.
    static std::int64_t ToCome(const Piece& piece);
    std::int64_t BytesToCome() const;
    // The piece a split would halve: the one with most bytes still to come,
    // when both halves would reach the minimum piece; else none.
    std::optional<std::size_t> SplitCandidate() const;
    std::int64_t MinPiece() const;
    Decision CloseConnection(int connection, Why why, Clock::time_point now,
                             std::chrono::seconds pause);
    bool InTrial(int connection) const;
    void MarkProgressed(int connection);
    // A fixed count: one more as soon as bytes have come.
    Decision OpenFixed(Clock::time_point now);
    // A queued range nobody fetches, or a piece worth splitting.
    bool SomethingToGive() const;
    // Opens one connection, or the first of `count` opened together, when
    // one more is worth it now.
    Decision OpenIfWorth(Clock::time_point now, int count);
    // The trial did not pay: its connections are closed, one a call.
    Decision CloseTrial(Clock::time_point now, double before, double with);

    std::vector<Piece> queue_;
    Limits limits_;
    std::vector<int> open_;
    int nextNumber_ = 0;
    int nextSegment_ = 1;
    int cap_ = 0;
    bool capFixed_ = false; // a connection ignored Range: cap_ stays where it is
    std::optional<Trial> trial_;
    int toOpen_ = 0;
    std::vector<int> toClose_;
    std::pair<double, double> closingRates_; // before and with the trial being closed
    Clock::time_point quietUntil_{};
    // When the count last changed; rates are measured after it.
    std::optional<Clock::time_point> settledAt_;
    bool sawBytes_ = false;
    std::deque<std::pair<Clock::time_point, std::int64_t>> totals_;
};
