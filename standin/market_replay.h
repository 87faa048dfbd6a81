/*
 * market_replay.h - the offline market's second price source: bars or ticks the
 * test fed through vqstub_market_feed, served instead of the random walk
 * for their symbol and frequency (MARKET.md, "Replay").  Nothing here is
 * exported.
 */
#ifndef VQ_STANDIN_MARKET_REPLAY_H
#define VQ_STANDIN_MARKET_REPLAY_H

#include <cstdlib>
#include <cstring>
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

/* One column of numbers, grown with realloc: a large block grows by moving
 * its pages, not its bytes, and holds no spare room once fitted. */
template <class T>
class Column {
  public:
    Column() = default;
    Column(const Column &) = delete;
    Column &operator=(const Column &) = delete;
    ~Column() { std::free(data_); }

    bool push(T v) {
        if (size_ == room_ && !reserve(room_ ? 2 * room_ : 1024))
            return false;
        data_[size_++] = v;
        return true;
    }
    bool assign(const T *v, size_t n) {
        if (!reserve(n))
            return false;
        std::memcpy(data_, v, n * sizeof(T));
        size_ = n;
        return true;
    }
    void fit() {
        if (size_ && size_ < room_)
            reserve_exactly(size_);
    }
    bool empty() const { return size_ == 0; }
    size_t size() const { return size_; }
    const T *data() const { return data_; }
    T operator[](size_t i) const { return data_[i]; }

  private:
    bool reserve(size_t n) { return n <= room_ || reserve_exactly(n); }
    bool reserve_exactly(size_t n) {
        void *p = std::realloc(data_, n * sizeof(T));
        if (!p)
            return false;
        data_ = static_cast<T *>(p);
        room_ = n;
        return true;
    }
    T *data_ = nullptr;
    size_t size_ = 0, room_ = 0;
};

/* A series' numbers, column by column: the market's one copy, which the
 * kit's loader fills and Python reads in place.  Ticks need only eob,
 * close, volume and amount; an empty bob stands for eob, and empty open,
 * high and low for close. */
struct Columns {
    Column<long long> bob, eob, volume;
    Column<double> open, high, low, close, amount;
    size_t size() const { return eob.size(); }
};

/* One fed series; immutable once stored, shared with the runs using it. */
struct Feed {
    std::string symbol, frequency;
    bool tick = false;
    std::shared_ptr<const Columns> data;
    size_t size() const { return data->size(); }
    Row row(size_t i) const;
};
using FeedPtr = std::shared_ptr<const Feed>;

/* Serve data for (symbol, frequency) in place of any earlier series of the
 * pair; empty data only forget it.  false, storing nothing, when the symbol
 * is empty or the frequency is not one the market makes. */
bool store(const char *symbol, const char *frequency, std::shared_ptr<const Columns> data);

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
    Row row;
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
