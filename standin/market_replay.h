/*
 * market_replay.h - the offline market's second price source: bars or ticks the
 * test fed through vqstub_market_feed, served instead of the random walk
 * for their symbol and frequency (MARKET.md, "Replay").  Nothing here is
 * exported.
 */
#ifndef VQ_STANDIN_MARKET_REPLAY_H
#define VQ_STANDIN_MARKET_REPLAY_H

#include <memory>
#include <string>
#include <vector>

#include "market_state.h"
#include "market_text.h"

namespace vqstub {
namespace replay {

struct Row {
    long long bob, eob;
    double open, high, low, close;
    long long volume;
    double amount;
};

/* One fed series; immutable once stored, shared with the runs using it. */
struct Feed {
    std::string symbol, frequency;
    bool tick = false;
    std::vector<Row> rows;
};
using FeedPtr = std::shared_ptr<const Feed>;

/* The fed series as they are now; a run keeps its own copy of the list. */
std::vector<FeedPtr> snapshot();
void clear();

/* The series for (symbol, frequency), or null; *symbol_fed tells whether
 * the symbol has a series at any frequency (its other frequencies then
 * deliver nothing rather than the walk). */
FeedPtr find(const std::vector<FeedPtr> &feeds, const std::string &symbol,
             const std::string &frequency, bool *symbol_fed);

/* A row due for delivery, with what the payload needs besides the row. */
struct Due {
    const Row *row;
    double pre_close;
    /* ticks: the day so far, this trade included */
    double day_open, day_high, day_low, cum_amount;
    long long cum_volume;
};

/* Walks one series day by day, carrying the previous day's close and the
 * day-so-far totals across rows outside the run's range. */
class Cursor {
  public:
    explicit Cursor(FeedPtr feed) : feed_(std::move(feed)) {}
    /* append the rows whose eob falls on `day` (days since 1970-01-01) and
     * lie within [start, end] */
    void day(long long day, long long start, long long end, std::vector<Due> &out);
    const Feed &feed() const { return *feed_; }

  private:
    void step(const Row &r, long long row_day, Due *due);
    FeedPtr feed_;
    size_t next_ = 0;
    long long day_ = 0;
    bool any_ = false;
    double last_close_ = 0, prev_day_close_ = 0;
    double open_ = 0, high_ = 0, low_ = 0, cum_amount_ = 0;
    long long cum_volume_ = 0;
};

/* Event payloads of a due row (keys as those of the walk's events). */
void bar_json(market::Text &out, const market::Sub &s, const Due &d);
void tick_json(market::Text &out, const market::Sub &s, const Due &d);

}  // namespace replay
}  // namespace vqstub

#endif /* VQ_STANDIN_MARKET_REPLAY_H */
