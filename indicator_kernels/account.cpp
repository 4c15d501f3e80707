// The account of a backtest: one pass over the dates that fills target
// positions at closes or opens, exits trades at stop levels, marks the equity
// at every close, and sums up the fills and the round-trip trades (or keeps
// their records, when asked).
//
// The rules are the ones written in docs/backtest.rst ("The account"); this
// file follows them event by event, in the order they give for a date: the
// opens' stop checks, the fills at the open, the stop checks over the bars'
// ranges, the fills at the close, the mark. Several symbols share one cash
// balance and are sized on one equity, so a portfolio is one pass over the
// union of the dates with every symbol, not one pass per symbol.
//
// The statistics need only the equity and the sums; the records and the
// per-date cash and units are for tables, written in a second pass only
// when someone reads them. A run of a million bars with a fill every eight
// bars touches 19 MB less memory that way.

#include "kernels.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

namespace indicator_kernels {

namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double infinity = std::numeric_limits<double>::infinity();

// Where a fill happened and why; the codes are part of the records'
// documented layout (quorvane.backtest reads them).
enum At : std::int64_t { at_close = 0, at_open = 1, at_level = 2 };
enum Reason : std::int64_t {
    reason_signal = 0,
    reason_rebalance = 1,
    reason_stop_loss = 2,
    reason_take_profit = 3,
    reason_trailing_stop = 4,
    reason_wipe_out = 5,
    reason_open = 6,
};

struct FillRecord {
    std::int64_t bar;
    std::int64_t symbol;
    std::int64_t at;
    std::int64_t reason;
    double price;
    double units;   // the change of units
    double cost;
    double equity;  // the equity the fill was valued on
};

struct TradeRecord {
    std::int64_t symbol;
    std::int64_t side;  // +1 long, -1 short
    std::int64_t entry_bar;
    std::int64_t exit_bar;  // -1 while open
    std::int64_t bars;      // closes at which it held units
    std::int64_t exit_reason;
    double entry_price;
    double exit_price;
    double pnl;    // its cash flows and costs (plus its value while open)
    double basis;  // the value it bought or sold short on entry and when scaling up
    double costs;
};

static_assert(sizeof(FillRecord) == 64 && sizeof(TradeRecord) == 88, "the record layouts are documented");

// A growing array of plain records. It may start in memory lent by a
// bytearray that will hold the records (so that a good first guess of the
// size costs no copy); past that it moves to the raw allocator, which may be
// used without the interpreter lock. push() returns false when memory runs
// out.
template <typename Record>
class Records {
public:
    Records() noexcept = default;
    Records(const Records&) = delete;
    Records& operator=(const Records&) = delete;
    ~Records() {
        if (owned_) PyMem_RawFree(data_);
    }

    // Starts in `capacity` records of `memory`, which outlives this object.
    void lend(char* memory, Py_ssize_t capacity) noexcept {
        data_ = reinterpret_cast<Record*>(memory);
        capacity_ = capacity;
    }
    bool push(const Record& record) noexcept {
        if (size_ == capacity_ && !grow()) return false;
        data_[size_++] = record;
        return true;
    }
    void clear() noexcept { size_ = 0; }
    Py_ssize_t size() const noexcept { return size_; }
    Record& operator[](Py_ssize_t index) noexcept { return data_[index]; }

    // The records as a bytearray: `lent` cut to size when they stayed in
    // it, else a new one. A new reference, or null with an exception set.
    PyObject* bytes(PyObject* lent) const noexcept {
        const Py_ssize_t length = size_ * static_cast<Py_ssize_t>(sizeof(Record));
        if (owned_) return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(data_), length);
        if (PyByteArray_Resize(lent, length) < 0) return nullptr;
        return Py_NewRef(lent);
    }

private:
    bool grow() noexcept {
        Py_ssize_t capacity = capacity_ ? capacity_ * 2 : 64;
        if (capacity > PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(Record))) return false;
        const size_t bytes = static_cast<size_t>(capacity) * sizeof(Record);
        void* grown = owned_ ? PyMem_RawRealloc(data_, bytes) : PyMem_RawMalloc(bytes);
        if (grown == nullptr) return false;
        if (!owned_ && size_) std::memcpy(grown, data_, static_cast<size_t>(size_) * sizeof(Record));
        data_ = static_cast<Record*>(grown);
        capacity_ = capacity;
        owned_ = true;
        return true;
    }

    Record* data_ = nullptr;
    Py_ssize_t size_ = 0;
    Py_ssize_t capacity_ = 0;
    bool owned_ = false;
};

// What the account trades on: dates x symbols, row by row (the value of
// symbol i on date t at [t * symbols + i]); a NaN close means no bar.
struct Market {
    const double* open;
    const double* high;
    const double* low;
    const double* close;
    const double* target;
    Py_ssize_t dates;
    Py_ssize_t symbols;
};

// The terms of the account; a stop of NaN is off.
struct Terms {
    double cost_rate;
    bool next_open;
    Py_ssize_t rebalance;
    double stop_loss;
    double take_profit;
    double trailing_stop;
};

// Where the pass writes: the equity always, the rest when not null.
struct Outputs {
    double* equity;
    double* cash;
    double* units;
    Records<FillRecord>* fills;
    Records<TradeRecord>* trades;
};

// The sums the statistics are computed from.
struct Summary {
    Py_ssize_t fills = 0;
    double turnover = 0.0;  // sum of |units| * price / equity over the fills
    double costs = 0.0;
    Py_ssize_t held = 0;    // dates with units at the close
    Py_ssize_t trades = 0;
    Py_ssize_t wins = 0;    // trades with a pnl above 0
    double gains = 0.0;     // their pnl
    double losses = 0.0;    // the pnl of the trades below 0
    double returns = 0.0;   // the sum of the trades' returns
    double best = -infinity;
    double worst = infinity;
    Py_ssize_t bars = 0;
};

// One symbol's state.
struct Holding {
    double units;
    double held;      // the target last filled (0 at the start)
    double last;      // its last close (0 before its first bar, when it holds nothing)
    double pending;   // with next-open: the target waiting for the next open, NaN for none
    bool pending_rebalance;
    bool stopped;     // flat after a stop, until its target differs from `held`
    bool in_trade;
    double extreme;   // the highest high (long) or lowest low (short) since the entry
    TradeRecord trade;  // the open trade
};

// A cash flow of a trade at the instant being processed: a wipe-out credits
// the equity below zero to the trades with a flow at that instant. `trade`
// is k >= 0 for the k-th trade closed at this instant, -1 - i for the open
// trade of symbol i.
struct Flow {
    Py_ssize_t trade;
    double size;
};

// One template for one symbol and for several: with the count known to be
// 1, the compiler drops the loops over the symbols (about a third of the
// instructions of a date).
template <bool One>
class Account {
public:
    Account(const Market& market, const Terms& terms, const Outputs& out, Holding* holdings, double* prices) noexcept
        : m_(market), terms_(terms), out_(out), holdings_(holdings), prices_(prices) {}

    // false when memory ran out.
    bool run() noexcept;

    Summary summary;

private:
    Py_ssize_t symbols() const noexcept { return One ? 1 : m_.symbols; }
    bool has_bar(Py_ssize_t t, Py_ssize_t i) const noexcept { return !std::isnan(m_.close[t * symbols() + i]); }
    double value() const noexcept;            // cash + units at prices_
    double value_at_last() const noexcept;    // cash + units at their last closes
    void mark_at_last() noexcept;             // prices_ = the last closes
    bool stop_at_open(Py_ssize_t t, Py_ssize_t i) noexcept;
    bool fills_at_open(Py_ssize_t t) noexcept;
    bool stop_in_range(Py_ssize_t t, Py_ssize_t i) noexcept;
    bool fills_at_close(Py_ssize_t t) noexcept;
    bool mark(Py_ssize_t t) noexcept;
    bool exit_at(Py_ssize_t t, Py_ssize_t i, double price, std::int64_t at, std::int64_t reason) noexcept;
    bool fill(Py_ssize_t t, Py_ssize_t i, double units, double price, double equity, std::int64_t at,
              std::int64_t reason) noexcept;
    bool open_trade(Py_ssize_t t, Py_ssize_t i, double units, double price, double cost) noexcept;
    bool close_trade(Py_ssize_t t, Py_ssize_t i, double price, std::int64_t reason, double flow) noexcept;
    bool wipe_out(Py_ssize_t t) noexcept;
    // The end of an instant: the trades it closed are final.
    bool settle() noexcept {
        flows_.clear();
        return closed_.size() == 0 || settle_closed();
    }
    bool settle_closed() noexcept;
    bool finish(const TradeRecord& trade) noexcept;
    void record(Py_ssize_t t, double equity) noexcept;
    bool wants_fill(const Holding& h, double target, bool rebalance) const noexcept;
    void levels(const Holding& h, double* stop, std::int64_t* stop_reason, double* take) const noexcept;
    bool log(Py_ssize_t trade, double size) noexcept { return flows_.push({trade, std::fabs(size)}); }

    Market m_;
    Terms terms_;
    Outputs out_;
    Holding* holdings_;
    double* prices_;  // the price of each symbol at the instant being valued
    double cash_ = 1.0;
    bool wiped_ = false;
    Py_ssize_t wiped_at_ = -1;
    Records<Flow> flows_;
    Records<TradeRecord> closed_;  // the trades closed at this instant
};

template <bool One>
double Account<One>::value() const noexcept {
    double total = cash_;
    for (Py_ssize_t i = 0; i < symbols(); ++i) total += holdings_[i].units * prices_[i];
    return total;
}

template <bool One>
double Account<One>::value_at_last() const noexcept {
    double total = cash_;
    for (Py_ssize_t i = 0; i < symbols(); ++i) total += holdings_[i].units * holdings_[i].last;
    return total;
}

template <bool One>
void Account<One>::mark_at_last() noexcept {
    for (Py_ssize_t i = 0; i < symbols(); ++i) prices_[i] = holdings_[i].last;
}

template <bool One>
bool Account<One>::wants_fill(const Holding& h, double target, bool rebalance) const noexcept {
    if (h.stopped) return target != h.held;
    return target != h.held || rebalance;
}

// The stop level (and why it is there) and the take-profit level of the
// trade a holding has open; +-infinity where a level is off.
template <bool One>
void Account<One>::levels(const Holding& h, double* stop, std::int64_t* stop_reason, double* take) const noexcept {
    const bool is_long = h.units > 0.0;
    const double side = is_long ? 1.0 : -1.0;
    const double entry = h.trade.entry_price;
    double fixed = is_long ? -infinity : infinity;
    double trailing = fixed;
    if (!std::isnan(terms_.stop_loss)) fixed = entry * (1.0 - side * terms_.stop_loss);
    if (!std::isnan(terms_.trailing_stop)) trailing = h.extreme * (1.0 - side * terms_.trailing_stop);
    // The tighter level binds; at a tie it is the stop-loss.
    const bool trails = is_long ? trailing > fixed : trailing < fixed;
    *stop = trails ? trailing : fixed;
    *stop_reason = trails ? reason_trailing_stop : reason_stop_loss;
    *take = is_long ? infinity : -infinity;
    if (!std::isnan(terms_.take_profit)) *take = entry * (1.0 + side * terms_.take_profit);
}

template <bool One>
bool Account<One>::open_trade(Py_ssize_t t, Py_ssize_t i, double units, double price, double cost) noexcept {
    Holding& h = holdings_[i];
    TradeRecord& trade = h.trade;
    trade = TradeRecord{};
    trade.symbol = i;
    trade.side = units > 0.0 ? 1 : -1;
    trade.entry_bar = t;
    trade.exit_bar = -1;
    trade.exit_reason = reason_open;
    trade.entry_price = price;
    trade.exit_price = nan;
    trade.pnl = -(units * price) - cost;
    trade.basis = std::fabs(units) * price;
    trade.costs = cost;
    h.in_trade = true;
    h.extreme = price;
    return log(-1 - i, units * price);
}

// Closes symbol i's trade at `price`, its last cash flow `flow` already
// counted in its pnl.
template <bool One>
bool Account<One>::close_trade(Py_ssize_t t, Py_ssize_t i, double price, std::int64_t reason, double flow) noexcept {
    Holding& h = holdings_[i];
    h.trade.exit_bar = t;
    h.trade.exit_price = price;
    h.trade.exit_reason = reason;
    h.in_trade = false;
    return closed_.push(h.trade) && log(closed_.size() - 1, flow);
}

// Brings symbol i to `units` at `price`: one fill, split into the legs of
// the trades it closes and opens.
template <bool One>
bool Account<One>::fill(Py_ssize_t t, Py_ssize_t i, double units, double price, double equity, std::int64_t at,
                   std::int64_t reason) noexcept {
    Holding& h = holdings_[i];
    const double before = h.units;
    const double change = units - before;
    if (change == 0.0) return true;
    const double cost = terms_.cost_rate * std::fabs(change) * price;
    cash_ -= change * price + cost;
    summary.fills += 1;
    summary.turnover += std::fabs(change) * price / equity;
    summary.costs += cost;
    if (out_.fills != nullptr && !out_.fills->push({t, i, at, reason, price, change, cost, equity})) return false;
    h.units = units;
    if (before == 0.0) return open_trade(t, i, units, price, cost);
    TradeRecord& trade = h.trade;
    const bool same_side = (before > 0.0) == (units > 0.0);
    if (units != 0.0 && same_side) {
        trade.pnl += -(change * price) - cost;
        trade.costs += cost;
        if (std::fabs(units) > std::fabs(before)) trade.basis += std::fabs(change) * price;
        return log(-1 - i, change * price);
    }
    // The position is closed, or crosses to the other side: each leg pays
    // the cost of its own units.
    const double closing_cost = terms_.cost_rate * std::fabs(before) * price;
    trade.pnl += before * price - closing_cost;
    trade.costs += closing_cost;
    if (!close_trade(t, i, price, reason == reason_rebalance ? reason_signal : reason, before * price)) return false;
    if (units == 0.0) return true;
    return open_trade(t, i, units, price, terms_.cost_rate * std::fabs(units) * price);
}

// The account's equity is 0 or less at the instant valued at prices_: every
// position is closed at those prices without cost, and the equity below
// zero is credited to the trades with a cash flow at this instant, in
// proportion to the sizes of those flows (the closes included).
template <bool One>
bool Account<One>::wipe_out(Py_ssize_t t) noexcept {
    const double shortfall = -value();
    double total = 0.0;
    for (Py_ssize_t k = 0; k < flows_.size(); ++k) total += flows_[k].size;
    for (Py_ssize_t i = 0; i < symbols(); ++i) {
        if (holdings_[i].units != 0.0) total += std::fabs(holdings_[i].units * prices_[i]);
    }
    if (total > 0.0) {
        for (Py_ssize_t k = 0; k < flows_.size(); ++k) {
            const Py_ssize_t at = flows_[k].trade;
            TradeRecord& trade = at >= 0 ? closed_[at] : holdings_[-1 - at].trade;
            trade.pnl += shortfall * (flows_[k].size / total);
        }
    }
    for (Py_ssize_t i = 0; i < symbols(); ++i) {
        Holding& h = holdings_[i];
        if (h.units == 0.0) continue;
        const double flow = h.units * prices_[i];
        cash_ += flow;
        h.trade.pnl += flow;
        if (total > 0.0) h.trade.pnl += shortfall * (std::fabs(flow) / total);
        h.units = 0.0;
        if (!close_trade(t, i, prices_[i], reason_wipe_out, flow)) return false;
    }
    cash_ = 0.0;
    wiped_ = true;
    wiped_at_ = t;
    record(t, 0.0);
    return true;
}

// A trade is done: into the sums, and into the records when they are kept.
template <bool One>
bool Account<One>::finish(const TradeRecord& trade) noexcept {
    summary.trades += 1;
    if (trade.pnl > 0.0) {
        summary.wins += 1;
        summary.gains += trade.pnl;
    } else if (trade.pnl < 0.0) {
        summary.losses += trade.pnl;
    }
    const double ret = trade.pnl / trade.basis;
    summary.returns += ret;
    if (ret > summary.best) summary.best = ret;
    if (ret < summary.worst) summary.worst = ret;
    summary.bars += trade.bars;
    return out_.trades == nullptr || out_.trades->push(trade);
}

template <bool One>
bool Account<One>::settle_closed() noexcept {
    for (Py_ssize_t k = 0; k < closed_.size(); ++k) {
        if (!finish(closed_[k])) return false;
    }
    closed_.clear();
    return true;
}

// Exits symbol i's trade at `price`, an instant of its own.
template <bool One>
bool Account<One>::exit_at(Py_ssize_t t, Py_ssize_t i, double price, std::int64_t at, std::int64_t reason) noexcept {
    if (!settle()) return false;
    mark_at_last();
    prices_[i] = price;
    const double equity = value();
    if (equity <= 0.0) return wipe_out(t);
    if (!fill(t, i, 0.0, price, equity, at, reason)) return false;
    holdings_[i].stopped = true;
    if (value() <= 0.0) return wipe_out(t);
    return true;
}

template <bool One>
bool Account<One>::stop_at_open(Py_ssize_t t, Py_ssize_t i) noexcept {
    const Holding& h = holdings_[i];
    if (h.units == 0.0) return true;
    double stop, take;
    std::int64_t why;
    levels(h, &stop, &why, &take);
    const double open = m_.open[t * symbols() + i];
    const bool is_long = h.units > 0.0;
    if (is_long ? open <= stop : open >= stop) return exit_at(t, i, open, at_open, why);
    if (is_long ? open >= take : open <= take) return exit_at(t, i, open, at_open, reason_take_profit);
    return true;
}

template <bool One>
bool Account<One>::stop_in_range(Py_ssize_t t, Py_ssize_t i) noexcept {
    Holding& h = holdings_[i];
    if (h.units == 0.0) return true;
    double stop, take;
    std::int64_t why;
    levels(h, &stop, &why, &take);
    const double high = m_.high[t * symbols() + i];
    const double low = m_.low[t * symbols() + i];
    if (h.units > 0.0) {
        if (low <= stop) return exit_at(t, i, stop, at_level, why);
        if (high >= take) return exit_at(t, i, take, at_level, reason_take_profit);
        if (high > h.extreme) h.extreme = high;
    } else {
        if (high >= stop) return exit_at(t, i, stop, at_level, why);
        if (low <= take) return exit_at(t, i, take, at_level, reason_take_profit);
        if (low < h.extreme) h.extreme = low;
    }
    return true;
}

// The targets waiting for this date's open (next-open), all sized on one
// equity valued at the fill prices.
template <bool One>
bool Account<One>::fills_at_open(Py_ssize_t t) noexcept {
    const Py_ssize_t row = t * symbols();
    bool any = false;
    mark_at_last();
    for (Py_ssize_t i = 0; i < symbols(); ++i) {
        Holding& h = holdings_[i];
        if (std::isnan(h.pending) || !has_bar(t, i)) continue;
        if (wants_fill(h, h.pending, h.pending_rebalance)) {
            prices_[i] = m_.open[row + i];
            any = true;
        } else {
            h.pending = nan;
        }
    }
    if (!any) return true;
    if (!settle()) return false;
    const double equity = value();
    if (equity <= 0.0) return wipe_out(t);
    const double share = equity / static_cast<double>(symbols());
    for (Py_ssize_t i = 0; i < symbols(); ++i) {
        Holding& h = holdings_[i];
        if (std::isnan(h.pending) || !has_bar(t, i)) continue;
        const double price = m_.open[row + i];
        const std::int64_t why = h.pending != h.held ? reason_signal : reason_rebalance;
        if (!fill(t, i, h.pending * share / price, price, equity, at_open, why)) return false;
        h.held = h.pending;
        h.stopped = false;
        h.pending = nan;
    }
    if (value() <= 0.0) return wipe_out(t);
    return true;
}

// The targets of this date's close: filled now (close) or kept for each
// symbol's next open (next-open).
template <bool One>
bool Account<One>::fills_at_close(Py_ssize_t t) noexcept {
    const Py_ssize_t row = t * symbols();
    const bool rebalance = terms_.rebalance > 0 && (t + 1) % terms_.rebalance == 0;
    if (terms_.next_open) {
        for (Py_ssize_t i = 0; i < symbols(); ++i) {
            if (!has_bar(t, i)) continue;
            holdings_[i].pending = m_.target[row + i];
            holdings_[i].pending_rebalance = rebalance;
        }
        return true;
    }
    bool any = false;
    for (Py_ssize_t i = 0; i < symbols() && !any; ++i) {
        any = has_bar(t, i) && wants_fill(holdings_[i], m_.target[row + i], rebalance);
    }
    if (!any) return true;
    const double equity = value_at_last();
    if (equity <= 0.0) {
        mark_at_last();
        return wipe_out(t);
    }
    const double share = equity / static_cast<double>(symbols());
    for (Py_ssize_t i = 0; i < symbols(); ++i) {
        Holding& h = holdings_[i];
        const double target = m_.target[row + i];
        if (!has_bar(t, i) || !wants_fill(h, target, rebalance)) continue;
        const double price = m_.close[row + i];
        const std::int64_t why = target != h.held ? reason_signal : reason_rebalance;
        if (!fill(t, i, target * share / price, price, equity, at_close, why)) return false;
        h.held = target;
        h.stopped = false;
    }
    return true;
}

// The close's mark; a trade holding units after it has been held one more bar.
template <bool One>
bool Account<One>::mark(Py_ssize_t t) noexcept {
    const double equity = value_at_last();
    if (equity <= 0.0) {
        mark_at_last();
        return wipe_out(t);
    }
    bool holds = false;
    for (Py_ssize_t i = 0; i < symbols(); ++i) {
        Holding& h = holdings_[i];
        if (h.units == 0.0) continue;
        holds = true;
        if (has_bar(t, i)) h.trade.bars += 1;
    }
    summary.held += holds;
    record(t, equity);
    return true;
}

template <bool One>
void Account<One>::record(Py_ssize_t t, double equity) noexcept {
    out_.equity[t] = equity;
    if (out_.cash != nullptr) out_.cash[t] = cash_;
    if (out_.units != nullptr) {
        double* units = out_.units + t * symbols();
        for (Py_ssize_t i = 0; i < symbols(); ++i) units[i] = holdings_[i].units;
    }
}

template <bool One>
bool Account<One>::run() noexcept {
    const bool stops = !std::isnan(terms_.stop_loss) || !std::isnan(terms_.take_profit) ||
                       !std::isnan(terms_.trailing_stop);
    for (Py_ssize_t i = 0; i < symbols(); ++i) {
        Holding& h = holdings_[i];
        h = Holding{};
        h.pending = nan;
    }
    for (Py_ssize_t t = 0; t < m_.dates && !wiped_; ++t) {
        if (stops) {
            for (Py_ssize_t i = 0; i < symbols() && !wiped_; ++i) {
                if (has_bar(t, i) && !stop_at_open(t, i)) return false;
            }
        }
        if (terms_.next_open && !wiped_ && !fills_at_open(t)) return false;
        if (stops) {
            for (Py_ssize_t i = 0; i < symbols() && !wiped_; ++i) {
                if (has_bar(t, i) && !stop_in_range(t, i)) return false;
            }
        }
        if (wiped_) break;
        const Py_ssize_t row = t * symbols();
        for (Py_ssize_t i = 0; i < symbols(); ++i) {
            if (has_bar(t, i)) holdings_[i].last = m_.close[row + i];
        }
        // The close's fills and its mark are one instant.
        if (!settle() || !fills_at_close(t) || (!wiped_ && !mark(t))) return false;
    }
    if (!settle()) return false;
    if (wiped_) {
        // The wiped date holds its record; every later one is empty.
        for (Py_ssize_t t = wiped_at_ + 1; t < m_.dates; ++t) record(t, 0.0);
        return true;
    }
    for (Py_ssize_t i = 0; i < symbols(); ++i) {
        Holding& h = holdings_[i];
        if (!h.in_trade) continue;
        h.trade.exit_price = h.last;
        h.trade.pnl += h.units * h.last;
        if (!finish(h.trade)) return false;
    }
    return true;
}

// Arguments ****************************************************************

// A float that is NaN (off) or a positive finite number.
bool parse_stop(PyObject* obj, const char* name, double* value) {
    if (!parse_float(obj, name, value)) return false;
    if (!std::isnan(*value) && !(*value > 0.0 && *value < infinity)) {
        PyErr_Format(PyExc_ValueError, "%s must be NaN (off) or a positive finite number, got %R", name, obj);
        return false;
    }
    return true;
}

bool parse_cost_rate(PyObject* obj, double* value) {
    if (!parse_float(obj, "cost_rate", value)) return false;
    if (!(*value >= 0.0 && *value <= 0.5)) {
        PyErr_Format(PyExc_ValueError, "cost_rate must be from 0 to 0.5, got %R", obj);
        return false;
    }
    return true;
}

// Upper bounds of the fills and trades of a run. A fill of a target needs
// the target to differ from the one last filled, so each follows a change
// of target (the first one from 0); a trade opens only at such a fill, and a
// stop exits at most once per trade; rebalancing adds at most one fill per
// symbol on each of its dates.
void bounds(const double* close, const double* target, Py_ssize_t dates, Py_ssize_t symbols, Py_ssize_t rebalance,
            Py_ssize_t* fills, Py_ssize_t* trades) {
    Py_ssize_t changes = 0;
    for (Py_ssize_t i = 0; i < symbols; ++i) {
        double previous = 0.0;
        for (Py_ssize_t t = 0; t < dates; ++t) {
            const Py_ssize_t at = t * symbols + i;
            if (std::isnan(close[at])) continue;
            changes += target[at] != previous;
            previous = target[at];
        }
    }
    *trades = changes;
    *fills = 2 * changes + (rebalance > 0 ? (dates / rebalance) * symbols : 0);
}

// Frees two raw scratch arrays on scope exit.
struct Scratch {
    Holding* holdings = nullptr;
    double* prices = nullptr;
    ~Scratch() {
        PyMem_RawFree(holdings);
        PyMem_RawFree(prices);
    }
};

template <bool One>
bool run_account(const Market& market, const Terms& terms, const Outputs& out, const Scratch& scratch,
                 Summary* sums) noexcept {
    Account<One> ledger(market, terms, out, scratch.holdings, scratch.prices);
    const bool done = ledger.run();
    *sums = ledger.summary;
    return done;
}

PyObject* summary_tuple(const Summary& s) {
    return Py_BuildValue("(nddnnndddddn)", s.fills, s.turnover, s.costs, s.held, s.trades, s.wins, s.gains,
                         s.losses, s.returns, s.best, s.worst, s.bars);
}

}  // namespace

extern const char account_doc[] =
    "account(open, high, low, close, target, symbols, cost_rate, next_open, rebalance,\n"
    "        stop_loss, take_profit, trailing_stop, equity, cash, units, /)\n--\n\n"
    "The account of a backtest over dates x symbols, as docs/backtest.rst defines it.\n\n"
    "open, high, low, close and target hold dates * symbols values, date by date\n"
    "(symbol i of date t at t * symbols + i); a NaN close means no bar (open, high\n"
    "and low are read only with next_open or a stop). cost_rate is (commission +\n"
    "slippage) / 10,000; next_open a bool; rebalance an int >= 0 (0: never); a stop\n"
    "of NaN is off. Fills equity (one value per date) at each close.\n\n"
    "Returns (summary, fills, trades). summary holds the sums the statistics use:\n"
    "(fills, turnover, costs, dates held, trades, winning trades, their pnl, the pnl\n"
    "of the losing ones, the sum, best and worst of the trades' returns, the sum of\n"
    "their bars). cash and units are None, or float64 arrays of dates and of\n"
    "dates * symbols values to fill at each close; then fills and trades are\n"
    "bytearrays of records in the native byte order, 64 bytes per fill (bar, symbol,\n"
    "at, reason: int64; price, units, cost, equity: float64) and 88 per trade\n"
    "(symbol, side, entry_bar, exit_bar, bars, exit_reason: int64; entry_price,\n"
    "exit_price, pnl, basis, costs: float64), in the order they happened and\n"
    "closed; else None. at: 0 close, 1 open, 2 a stop level; reason: 0 signal,\n"
    "1 rebalance, 2 stop_loss, 3 take_profit, 4 trailing_stop, 5 wipe_out, 6 open.";

PyObject* account(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    Py_ssize_t symbols, rebalance;
    Terms terms{};
    if (!check_arg_count("account", nargs, 15) || !parse_period(args[5], "symbols", &symbols) ||
        !parse_cost_rate(args[6], &terms.cost_rate) || !parse_int(args[8], "rebalance", 0, &rebalance) ||
        !parse_stop(args[9], "stop_loss", &terms.stop_loss) ||
        !parse_stop(args[10], "take_profit", &terms.take_profit) ||
        !parse_stop(args[11], "trailing_stop", &terms.trailing_stop)) {
        return nullptr;
    }
    if (!PyBool_Check(args[7])) {
        PyErr_Format(PyExc_TypeError, "next_open must be a bool, got %.200s", Py_TYPE(args[7])->tp_name);
        return nullptr;
    }
    terms.next_open = args[7] == Py_True;
    terms.rebalance = rebalance;
    const bool detail = args[13] != Py_None || args[14] != Py_None;
    if (detail && (args[13] == Py_None || args[14] == Py_None)) {
        PyErr_SetString(PyExc_TypeError, "cash and units must both be arrays or both be None");
        return nullptr;
    }
    Float64Buffer open, high, low, close, target, equity, cash, units;
    if (!close.acquire(args[3], "close", false)) return nullptr;
    const Py_ssize_t cells = close.size();
    if (cells % symbols != 0) {
        PyErr_Format(PyExc_ValueError, "close must hold dates * symbols values, got %zd for %zd symbols", cells,
                     symbols);
        return nullptr;
    }
    const Py_ssize_t dates = cells / symbols;
    if (!open.acquire(args[0], "open", false, cells) || !high.acquire(args[1], "high", false, cells) ||
        !low.acquire(args[2], "low", false, cells) || !target.acquire(args[4], "target", false, cells) ||
        !equity.acquire(args[12], "equity", true, dates) ||
        (detail && (!cash.acquire(args[13], "cash", true, dates) || !units.acquire(args[14], "units", true, cells)))) {
        return nullptr;
    }
    const Float64Buffer* inputs[] = {&open, &high, &low, &close, &target};
    const char* input_names[] = {"open", "high", "low", "close", "target"};
    Float64Buffer* outputs[] = {&equity, &cash, &units};
    const char* output_names[] = {"equity", "cash", "units"};
    for (int o = 0; o < 3; ++o) {
        for (int i = 0; i < 5; ++i) {
            if (!check_separate(output_names[o], *outputs[o], *inputs[i], input_names[i])) return nullptr;
        }
        for (int p = 0; p < o; ++p) {
            if (!check_separate(output_names[o], *outputs[o], *outputs[p], output_names[p])) return nullptr;
        }
    }
    // Fills and trades are bounded in advance (see bounds()): their records
    // go straight into the bytearrays returned, without a copy.
    OwnedRef fill_bytes, trade_bytes;
    Records<FillRecord> fill_records;
    Records<TradeRecord> trade_records;
    if (detail) {
        Py_ssize_t most_fills, most_trades;
        bounds(close.data(), target.data(), dates, symbols, rebalance, &most_fills, &most_trades);
        fill_bytes.reset(PyByteArray_FromStringAndSize(nullptr, most_fills * Py_ssize_t{sizeof(FillRecord)}));
        if (!fill_bytes) return nullptr;
        trade_bytes.reset(PyByteArray_FromStringAndSize(nullptr, most_trades * Py_ssize_t{sizeof(TradeRecord)}));
        if (!trade_bytes) return nullptr;
        fill_records.lend(PyByteArray_AS_STRING(fill_bytes.get()), most_fills);
        trade_records.lend(PyByteArray_AS_STRING(trade_bytes.get()), most_trades);
    }
    Scratch scratch;
    scratch.holdings = static_cast<Holding*>(PyMem_RawMalloc(static_cast<size_t>(symbols) * sizeof(Holding)));
    scratch.prices = static_cast<double*>(PyMem_RawMalloc(static_cast<size_t>(symbols) * sizeof(double)));
    if (scratch.holdings == nullptr || scratch.prices == nullptr) return PyErr_NoMemory();
    const Market market{open.data(), high.data(), low.data(), close.data(), target.data(), dates, symbols};
    const Outputs out{equity.mutable_data(), detail ? cash.mutable_data() : nullptr,
                      detail ? units.mutable_data() : nullptr, detail ? &fill_records : nullptr,
                      detail ? &trade_records : nullptr};
    Summary sums;
    bool done;
    Py_BEGIN_ALLOW_THREADS
    done = symbols == 1 ? run_account<true>(market, terms, out, scratch, &sums)
                        : run_account<false>(market, terms, out, scratch, &sums);
    Py_END_ALLOW_THREADS
    if (!done) return PyErr_NoMemory();
    OwnedRef summary(summary_tuple(sums));
    if (!summary) return nullptr;
    if (!detail) return PyTuple_Pack(3, summary.get(), Py_None, Py_None);
    OwnedRef fills(fill_records.bytes(fill_bytes.get()));
    if (!fills) return nullptr;
    OwnedRef trades(trade_records.bytes(trade_bytes.get()));
    if (!trades) return nullptr;
    return PyTuple_Pack(3, summary.get(), fills.get(), trades.get());
}

}  // namespace indicator_kernels
