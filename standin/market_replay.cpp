/*
 * market_replay.cpp - the fed series behind vqstub_market_feed, and the events a
 * run makes of them.  Formats are in MARKET.md ("Replay").
 */
#include "market_replay.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "market_calendar.h"
#include "market_prices.h"
#include "vqstub.h"

namespace vqstub {
namespace replay {
namespace {

std::mutex g_mu;
std::vector<FeedPtr> g_feeds;

long long day_of(long long t) {
    return market::floor_div(t, market::kDay);
}

bool frequency_ok(const char *f, bool *tick) {
    const int n = market::bar_seconds(f);
    *tick = n == 0;
    return n >= 0;
}

}  // namespace

std::vector<FeedPtr> snapshot() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_feeds;
}

void clear() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_feeds.clear();
}

FeedPtr find(const std::vector<FeedPtr> &feeds, const std::string &symbol,
             const std::string &frequency, bool *symbol_fed) {
    FeedPtr hit;
    *symbol_fed = false;
    for (const FeedPtr &f : feeds) {
        if (f->symbol != symbol)
            continue;
        *symbol_fed = true;
        if (f->frequency == frequency)
            hit = f;
    }
    return hit;
}

void Cursor::step(const Row &r, long long row_day, Due *due) {
    if (!any_ || row_day != day_) {
        if (any_)
            prev_day_close_ = last_close_;
        else
            prev_day_close_ = r.open; /* the first day: its opening price */
        day_ = row_day;
        any_ = true;
        open_ = r.open;
        high_ = r.high;
        low_ = r.low;
        cum_volume_ = 0;
        cum_amount_ = 0;
    }
    high_ = std::max(high_, r.high);
    low_ = std::min(low_, r.low);
    cum_volume_ += r.volume;
    cum_amount_ += r.amount;
    last_close_ = r.close;
    if (due)
        *due = Due{r, prev_day_close_, open_, high_, low_, cum_amount_, cum_volume_};
}

Row Feed::row(size_t i) const {
    const Columns &c = *data;
    const long long eob = c.eob[i];
    const double close = c.close[i];
    if (tick)
        return Row{eob, eob, close, close, close, close, c.volume[i], c.amount[i]};
    return Row{c.bob.empty() ? eob : c.bob[i],
               c.eob[i],
               c.open.empty() ? close : c.open[i],
               c.high.empty() ? close : c.high[i],
               c.low.empty() ? close : c.low[i],
               close,
               c.volume[i],
               c.amount[i]};
}

bool store(const char *symbol, const char *frequency, std::shared_ptr<const Columns> data) {
    bool tick = false;
    if (!symbol || !*symbol || !frequency || !frequency_ok(frequency, &tick))
        return false;
    auto feed = std::make_shared<Feed>();
    feed->symbol = symbol;
    feed->frequency = frequency;
    feed->tick = tick;
    feed->data = std::move(data);
    std::lock_guard<std::mutex> lock(g_mu);
    g_feeds.erase(std::remove_if(g_feeds.begin(), g_feeds.end(),
                                 [&](const FeedPtr &f) {
                                     return f->symbol == feed->symbol &&
                                            f->frequency == feed->frequency;
                                 }),
                  g_feeds.end());
    if (feed->size() > 0)
        g_feeds.push_back(std::move(feed));
    return true;
}

void Cursor::day(long long day, long long start, long long end, std::vector<Due> &out) {
    const Feed &f = *feed_;
    const Column<long long> &eob = f.data->eob;
    for (; next_ < eob.size(); ++next_) {
        const long long d = day_of(eob[next_]);
        if (d > day)
            break;
        const Row r = f.row(next_);
        if (d < day || r.bob < start || r.eob > end) {
            step(r, d, nullptr);
            continue;
        }
        Due due;
        step(r, d, &due);
        out.push_back(due);
    }
}

void bar_json(market::Text &out, const market::Sub &s, const Due &d) {
    const Row &r = d.row;
    market::write_bar(out, {s.symbol_json, s.frequency_json, r.bob, r.eob, r.open, r.high, r.low,
                            r.close, r.volume, r.amount, d.pre_close});
}

void tick_json(market::Text &out, const market::Sub &s, const Due &d) {
    const Row &r = d.row;
    market::write_tick(out, {s.symbol_json, r.eob, r.close, d.day_open, d.day_high, d.day_low,
                             d.cum_volume, d.cum_amount, r.volume, r.amount, d.pre_close});
}

}  // namespace replay
}  // namespace vqstub

using namespace vqstub;

extern "C" int vqstub_market_feed(const char *symbol, const char *frequency, int n,
                                  const long long *bob, const long long *eob, const double *open,
                                  const double *high, const double *low, const double *close,
                                  const long long *volume, const double *amount) {
    if (!symbol) {
        replay::clear();
        return 0;
    }
    bool tick = false;
    if (!*symbol || !frequency || !replay::frequency_ok(frequency, &tick) || n < 0)
        return -1;
    auto data = std::make_shared<replay::Columns>();
    if (n > 0) {
        if (!eob || !close || !volume || !amount || (!tick && (!bob || !open || !high || !low)))
            return -1;
        for (int i = 1; i < n; ++i)
            if (eob[i] <= eob[i - 1])
                return -1;
        const size_t rows = static_cast<size_t>(n);
        bool ok = data->eob.assign(eob, rows) && data->close.assign(close, rows) &&
                  data->volume.assign(volume, rows) && data->amount.assign(amount, rows);
        if (!tick)
            ok = ok && data->bob.assign(bob, rows) && data->open.assign(open, rows) &&
                 data->high.assign(high, rows) && data->low.assign(low, rows);
        if (!ok)
            return -1;
    }
    return replay::store(symbol, frequency, std::move(data)) ? 0 : -1;
}
