#include "transfer/ConnectionPlan.h"

#include <algorithm>
#include <utility>

namespace {

// Observed totals older than this are no longer needed for any rate.
constexpr std::chrono::seconds kKeepTotals{10};

} // namespace

ConnectionPlan::ConnectionPlan(std::vector<PlanRange> queue, Limits limits, int first)
    : limits_(limits), open_{first}, nextNumber_(first + 1), cap_(limits.connections) {
    for (const PlanRange& range : queue)
        queue_.push_back({range, -1, range.begin});
}

const ConnectionPlan::Piece* ConnectionPlan::PieceOf(int connection) const {
    for (const Piece& piece : queue_)
        if (piece.owner == connection) return &piece;
    return nullptr;
}

ConnectionPlan::Piece* ConnectionPlan::PieceOf(int connection) {
    return const_cast<Piece*>(std::as_const(*this).PieceOf(connection));
}

std::optional<ConnectionPlan::Holding> ConnectionPlan::HoldingOf(int connection) const {
    const Piece* piece = PieceOf(connection);
    if (!piece) return std::nullopt;
    return Holding{static_cast<std::size_t>(piece - queue_.data()), piece->range, piece->segment};
}

std::optional<ConnectionPlan::Assignment> ConnectionPlan::Assign(int connection) {
    if (PieceOf(connection)) Released(connection);
    std::optional<Assignment> assigned;
    Piece* free = nullptr;
    for (Piece& piece : queue_)
        if (piece.owner < 0 && (!free || piece.range.begin < free->range.begin)) free = &piece;
    if (free) {
        free->owner = connection;
        free->next = free->range.begin;
        if (free->segment == 0) free->segment = nextSegment_++;
        assigned = Assignment{free->range, free->segment, std::nullopt};
    } else if (const std::optional<std::size_t> index = SplitCandidate()) {
        Piece& split = queue_[*index];
        const std::int64_t from = std::max(split.next, split.range.begin);
        const std::int64_t middle = from + (split.range.end - from) / 2;
        const Piece added{{middle, split.range.end}, connection, middle, nextSegment_++};
        assigned = Assignment{added.range, added.segment, Cut{split.owner, middle}};
        split.range.end = middle;
        queue_.insert(queue_.begin() + static_cast<std::ptrdiff_t>(*index) + 1, added);
    }
    return assigned;
}

void ConnectionPlan::Progress(int connection, std::int64_t next) {
    Piece* piece = PieceOf(connection);
    if (!piece) return;
    if (next > piece->next) MarkProgressed(connection);
    piece->next = std::max(piece->next, next);
}

void ConnectionPlan::Recorded(int connection, std::int64_t begin) {
    if (Piece* piece = PieceOf(connection)) {
        piece->range.begin = begin;
        piece->next = std::max(piece->next, begin);
    }
}

void ConnectionPlan::Finished(int connection) {
    // A new connection that finished its piece before it was judged has
    // brought bytes all the same.
    MarkProgressed(connection);
    std::erase_if(queue_, [connection](const Piece& piece) { return piece.owner == connection; });
}

void ConnectionPlan::Released(int connection) {
    if (Piece* piece = PieceOf(connection)) {
        piece->owner = -1;
        piece->next = piece->range.begin;
    }
}

void ConnectionPlan::Observe(Clock::time_point now, std::int64_t totalBytes) {
    // Rates are measured from a second after the first bytes on: a server
    // may send a new request's first second of bytes at once, and its next
    // second's soon after (nginx's limit_rate does), which says nothing of
    // its rate.
    if (!settledAt_ && totalBytes > 0) settledAt_ = now + limits_.judgeWindow;
    sawBytes_ = sawBytes_ || totalBytes > 0;
    totals_.emplace_back(now, totalBytes);
    while (totals_.size() > 2 && now - totals_.front().first > kKeepTotals)
        totals_.pop_front();
}

std::optional<double> ConnectionPlan::RateOver(Clock::time_point from, Clock::time_point to) const {
    // The last observation at or before `from` (else the first after it)
    // and the last at or before `to`: the span is never shorter than asked.
    auto first = totals_.begin();
    for (auto it = totals_.begin(); it != totals_.end() && it->first <= from; ++it)
        first = it;
    auto last = std::find_if(totals_.rbegin(), totals_.rend(),
                             [to](const auto& total) { return total.first <= to; });
    if (first == totals_.end() || last == totals_.rend() || last->first <= first->first)
        return std::nullopt;
    const std::chrono::duration<double> seconds = last->first - first->first;
    return static_cast<double>(last->second - first->second) / seconds.count();
}

std::int64_t ConnectionPlan::ToCome(const Piece& piece) {
    return std::max<std::int64_t>(0, piece.range.end - std::max(piece.next, piece.range.begin));
}

std::int64_t ConnectionPlan::BytesToCome() const {
    std::int64_t bytes = 0;
    for (const Piece& piece : queue_)
        bytes += ToCome(piece);
    return bytes;
}

std::int64_t ConnectionPlan::MinPiece() const {
    // A piece smaller than a quarter second of one connection's bytes costs
    // more in its request than it gains; a larger one left to a single
    // connection at the end of a download costs more than its request.
    if (totals_.empty()) return limits_.minPiece;
    const Clock::time_point now = totals_.back().first;
    const double perConnection =
        RateOver(now - limits_.judgeWindow, now).value_or(0) / static_cast<double>(open_.size());
    return std::max(limits_.minPiece, static_cast<std::int64_t>(perConnection / 4));
}

std::optional<std::size_t> ConnectionPlan::SplitCandidate() const {
    std::optional<std::size_t> best;
    std::int64_t most = 0;
    for (std::size_t i = 0; i < queue_.size(); ++i) {
        const Piece& piece = queue_[i];
        if (piece.owner < 0) continue;
        const std::int64_t toCome = ToCome(piece);
        if (toCome > most) {
            most = toCome;
            best = i;
        }
    }
    // Both halves reach the minimum: the one the owner keeps and the new one.
    if (best && most / 2 < MinPiece()) return std::nullopt;
    return best;
}

bool ConnectionPlan::InTrial(int connection) const {
    return trial_ && std::find(trial_->connections.begin(), trial_->connections.end(),
                               connection) != trial_->connections.end();
}

void ConnectionPlan::MarkProgressed(int connection) {
    if (InTrial(connection) && std::find(trial_->progressed.begin(), trial_->progressed.end(),
                                         connection) == trial_->progressed.end())
        trial_->progressed.push_back(connection);
}

ConnectionPlan::Decision ConnectionPlan::Next(Clock::time_point now) {
    const Decision hold{Step::Hold, -1, Why::None, Connections()};
    // The rest of a batch that is being closed, or opened, one a call.
    if (!toClose_.empty()) {
        const int connection = toClose_.back();
        toClose_.pop_back();
        Decision closed = CloseConnection(connection, Why::NoGain, now, limits_.noGainPause);
        closed.rateBefore = closingRates_.first;
        closed.rateNow = closingRates_.second;
        return closed;
    }
    // The newest go first when the options allow fewer; the first stays.
    if (Connections() > cap_ && open_.size() > 1)
        return CloseConnection(open_.back(), Why::Options, now, {});
    if (!limits_.adaptive) return OpenFixed(now);
    if (toOpen_ > 0 && trial_ && Connections() < cap_) {
        --toOpen_;
        const int number = nextNumber_++;
        open_.push_back(number);
        trial_->connections.push_back(number);
        return {Step::Open, number, Why::None, Connections(), trial_->before, trial_->before};
    }
    if (trial_) {
        Trial& trial = *trial_;
        if (!trial.firstBytesAt) {
            if (trial.progressed.size() == trial.connections.size()) {
                trial.firstBytesAt = now;
            } else if (now - trial.openedAt >= limits_.firstBytesLimit) {
                // Judged on the bytes of those that came; none came: closed.
                if (trial.progressed.empty())
                    return CloseTrial(now, trial.before,
                                      RateOver(now - limits_.judgeWindow, now).value_or(0));
                trial.firstBytesAt = now;
            }
            return hold;
        }
        if (now - *trial.firstBytesAt < limits_.judgeWindow) return hold;
        const std::optional<double> with = RateOver(*trial.firstBytesAt, now);
        if (!with) return hold;
        const double before = trial.before;
        // A rate that rose by half as much as the connections did says the
        // server caps each one: they are kept and the rest opened at once.
        const double added = static_cast<double>(trial.connections.size());
        const bool capped =
            *with >= before * (1 + 0.5 * added / static_cast<double>(trial.countBefore));
        if (!capped) {
            if (now - *trial.firstBytesAt < limits_.settleWindow) return hold;
            if (*with < before * limits_.keepGain) return CloseTrial(now, before, *with);
        }
        // They paid: the rate with them is where the next try starts from.
        trial_.reset();
        settledAt_ = now - limits_.judgeWindow;
        Decision next = capped ? OpenIfWorth(now, cap_ - Connections()) : Next(now);
        if (next.step == Step::Hold) next = {Step::Hold, -1, Why::Pays, Connections()};
        next.why = Why::Pays;
        next.rateBefore = before;
        next.rateNow = *with;
        return next;
    }
    return OpenIfWorth(now, 1);
}

ConnectionPlan::Decision ConnectionPlan::OpenFixed(Clock::time_point now) {
    if (!sawBytes_ || Connections() >= cap_ || now < quietUntil_ || !SomethingToGive())
        return {Step::Hold, -1, Why::None, Connections()};
    const int number = nextNumber_++;
    open_.push_back(number);
    return {Step::Open, number, Why::None, Connections()};
}

bool ConnectionPlan::SomethingToGive() const {
    return std::any_of(queue_.begin(), queue_.end(),
                       [](const Piece& piece) { return piece.owner < 0; }) ||
           SplitCandidate();
}

ConnectionPlan::Decision ConnectionPlan::OpenIfWorth(Clock::time_point now, int count) {
    const Decision hold{Step::Hold, -1, Why::None, Connections()};
    if (count <= 0 || Connections() >= cap_ || now < quietUntil_ || !settledAt_ ||
        now - *settledAt_ < limits_.judgeWindow)
        return hold;
    const std::optional<double> rate = RateOver(now - limits_.judgeWindow, now);
    if (!rate || *rate <= 0) return hold;
    const std::chrono::duration<double> remaining(static_cast<double>(BytesToCome()) / *rate);
    if (!SomethingToGive() || remaining <= limits_.worthOpening) return hold;
    const int number = nextNumber_++;
    trial_ = Trial{{number}, Connections(), *rate, now, {}, std::nullopt};
    open_.push_back(number);
    toOpen_ = std::min(count, cap_ - Connections() + 1) - 1;
    settledAt_ = now;
    return {Step::Open, number, Why::None, Connections(), *rate, *rate};
}

ConnectionPlan::Decision ConnectionPlan::CloseTrial(Clock::time_point now, double before,
                                                    double with) {
    toClose_ = trial_->connections;
    toOpen_ = 0;
    closingRates_ = {before, with};
    return Next(now);
}

ConnectionPlan::Decision ConnectionPlan::CloseConnection(int connection, Why why,
                                                         Clock::time_point now,
                                                         std::chrono::seconds pause) {
    // Its piece stays its own until the driver has recorded what it brought.
    std::erase(open_, connection);
    if (InTrial(connection)) {
        std::erase(trial_->connections, connection);
        std::erase(trial_->progressed, connection);
        if (trial_->connections.empty()) trial_.reset();
    }
    settledAt_ = now;
    quietUntil_ = std::max(quietUntil_, now + pause);
    return {Step::Close, connection, why, Connections()};
}

ConnectionPlan::Decision ConnectionPlan::Refused(int connection, Clock::time_point now,
                                                 std::chrono::seconds retryAfter) {
    const std::chrono::seconds pause =
        std::clamp(retryAfter, limits_.refusalPause, limits_.maxRefusalPause);
    return CloseConnection(connection, Why::Refused, now, pause);
}

ConnectionPlan::Decision ConnectionPlan::IgnoredRange(int connection, Clock::time_point now) {
    Decision closed = CloseConnection(connection, Why::IgnoredRange, now, {});
    cap_ = std::max(1, Connections());
    capFixed_ = true;
    return closed;
}

void ConnectionPlan::SetConnections(int connections) {
    const int wanted = std::max(1, connections);
    cap_ = capFixed_ ? std::min(cap_, wanted) : wanted;
}

std::vector<PlanRange> ConnectionPlan::Queue() const {
    std::vector<PlanRange> ranges;
    for (const Piece& piece : queue_)
        ranges.push_back(piece.range);
    return ranges;
}
