/*
 * market_prices.h - the market's prices: one seeded random walk per
 * symbol, cut into the bars and ticks of each subscription.
 */
#ifndef VQ_STANDIN_MARKET_PRICES_H
#define VQ_STANDIN_MARKET_PRICES_H

#include <string>
#include <vector>

#include "market_calendar.h"
#include "market_state.h"
#include "market_text.h"

namespace vqstub {
namespace market {

struct Rng {
    unsigned long long s;
    unsigned long long next() { /* xorshift64* */
        s ^= s >> 12;
        s ^= s << 25;
        s ^= s >> 27;
        return s * 2685821657736338717ULL;
    }
    double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

/* one event of a day: steps [a, b) of subscription sub */
struct Ev {
    int end_offset;
    int sub;
    int a, b;
    int bob_clock = 0, eob_clock = 0;        /* seconds since midnight; a tick's bob is its eob */
    char bob_text[8] = {}, eob_text[8] = {}; /* those as HH:MM:SS */
    int seg = -1; /* the bar's Path::segs entry, when it is one (set by the run) */
};

/* The aggregates of one bar of a path's own length (Path::seg_steps). */
struct Seg {
    double open, high, low, close, amount;
    long long volume;
};

/* One symbol's path.  Each 3-second step is one trade; a day's steps are
 * made at once, so every frequency reads the same trades. */
struct Path {
    std::string symbol;
    Rng rng{1};
    double p = 0;         /* the walk, unrounded */
    double pre_close = 0; /* close of the previous trading day */

    /* What a day keeps, set by plan() before the first day.  Bars of the
     * path's own length are summed up while the walk makes them (segs);
     * the steps themselves are kept only when ticks or bars of another
     * length read them. */
    int seg_steps = kHalfSteps;
    bool steps = false;
    bool day_totals = false; /* ticks: the day so far at each step */
    bool daily = false;      /* day_amount */
    std::vector<Seg> segs;   /* the day's bars of seg_steps, each half cut on its own */
    double day_amount = 0;   /* the whole day's amount, summed in step order */
    double price[kStepsPerDay];
    long long vol[kStepsPerDay];
    /* the day so far, up to and including each step, for ticks */
    double high[kStepsPerDay], low[kStepsPerDay], cum_amount[kStepsPerDay];
    long long cum_volume[kStepsPerDay];

    explicit Path(const std::string &sym);
    /* set what a day keeps for these subscriptions (the path's own) */
    void plan(const std::vector<const Sub *> &subs);
    /* the segment of a bar of `seconds` starting at step a, or -1 when
     * its bars are not the path's own */
    int seg_of(int seconds, int a) const;
    /* make the next trading day's steps */
    void day();
    /* the opening and the closing trade of an event of the day (without
     * the steps, one that is not a segment is the day) */
    double open_of(const Ev &e) const {
        if (e.seg >= 0)
            return segs[static_cast<size_t>(e.seg)].open;
        return steps ? price[e.a] : segs.front().open;
    }
    double close_of(const Ev &e) const {
        if (e.seg >= 0)
            return segs[static_cast<size_t>(e.seg)].close;
        return steps ? price[e.b - 1] : segs.back().close;
    }

  private:
    template <bool kSteps, bool kTotals, bool kDay>
    void walk_day();
};

/* the events of one trading day, in delivery order */
void day_events(const std::vector<Sub> &subs, std::vector<Ev> &out);

/* The values of a bar or a tick event.  The walk's events and replayed
 * rows are both written from these, so both carry the same keys
 * (MARKET.md).  Symbol and frequency come as JSON string literals, quoted
 * once per run (market_text.h's quoted()). */
struct BarValues {
    const std::string &symbol, &frequency;
    long long bob, eob;
    double open, high, low, close;
    long long volume;
    double amount, pre_close;
};
struct TickValues {
    const std::string &symbol;
    long long created_at;
    double price, open, high, low; /* open, high, low: the day so far */
    long long cum_volume;
    double cum_amount;
    long long last_volume;
    double last_amount, pre_close;
};
void write_bar(Text &out, const BarValues &v);
void write_tick(Text &out, const TickValues &v);

/* a price rounded to the cent, never below one cent */
double cents(double p);

/* A subscription's bar payload, kept between its events: up to "open":
 * the text changes only with the day, and within a day only in the two
 * clocks. */
struct BarText {
    Text text;
    long long day = 0;
    bool made = false;
    size_t bob_at = 0, eob_at = 0, head = 0; /* where the clocks are; the head's end */
};

/* the payload of a bar event, and of a tick event at step k */
void bar_json(BarText &out, const Sub &s, const Path &p, const Ev &e, long long day_start);
void tick_json(Text &out, const Sub &s, const Path &p, int k, long long t);

}  // namespace market
}  // namespace vqstub

#endif /* VQ_STANDIN_MARKET_PRICES_H */
