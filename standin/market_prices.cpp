/*
 * market_prices.cpp - the seeded random walk behind every symbol, and the
 * bar and tick payloads read from it.  Formats are in MARKET.md.
 */
#include "market_prices.h"

#include <algorithm>
#include <cmath>

#include "json.h"

namespace vqstub {
namespace market {
namespace {

constexpr double kStepSigma = 0.02 / 69.28203230275509; /* 2% a day: sqrt(4800) */

unsigned long long seed_of(const std::string &symbol) {
    unsigned long long h = 1469598103934665603ULL; /* FNV-1a, then splitmix64 */
    for (unsigned char c : symbol)
        h = (h ^ c) * 1099511628211ULL;
    h += 0x9E3779B97F4A7C15ULL;
    h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ULL;
    h = (h ^ (h >> 27)) * 0x94D049BB133111EBULL;
    h ^= h >> 31;
    return h ? h : 1;
}

}  // namespace

double cents(double p) {
    return std::max(0.01, std::round(p * 100) / 100);
}

Path::Path(const std::string &sym) : symbol(sym), rng{seed_of(sym)} {
    p = 5.0 + static_cast<double>(rng.next() % 4500) / 100;
    pre_close = cents(p);
}

void Path::day() {
    for (int k = 0; k < kStepsPerDay; ++k) {
        const double z = (rng.uniform() + rng.uniform() + rng.uniform() + rng.uniform() - 2.0) *
                         1.7320508075688772; /* unit variance */
        p = std::max(0.005, p * (1 + kStepSigma * z));
        price[k] = cents(p);
        vol[k] = 100 * static_cast<long long>(1 + rng.next() % 20);
        const double amount = price[k] * static_cast<double>(vol[k]);
        high[k] = k ? std::max(high[k - 1], price[k]) : price[k];
        low[k] = k ? std::min(low[k - 1], price[k]) : price[k];
        cum_volume[k] = (k ? cum_volume[k - 1] : 0) + vol[k];
        cum_amount[k] = (k ? cum_amount[k - 1] : 0) + amount;
    }
}

void day_events(const std::vector<Sub> &subs, std::vector<Ev> &out) {
    out.clear();
    for (int i = 0; i < static_cast<int>(subs.size()); ++i) {
        const Sub &s = subs[static_cast<size_t>(i)];
        if (s.kind == TICK) {
            for (int k = 0; k < kStepsPerDay; ++k)
                out.push_back(Ev{(k + 1) * kStep, i, k, k + 1});
        } else if (s.kind == DAILY) {
            out.push_back(Ev{2 * kHalf, i, 0, kStepsPerDay});
        } else {
            for (int h = 0; h < 2; ++h)
                for (int o = 0; o < kHalf; o += s.seconds) {
                    const int e = std::min(o + s.seconds, kHalf);
                    out.push_back(
                        Ev{h * kHalf + e, i, (h * kHalf + o) / kStep, (h * kHalf + e) / kStep});
                }
        }
    }
    std::stable_sort(out.begin(), out.end(), [](const Ev &x, const Ev &y) {
        return x.end_offset != y.end_offset ? x.end_offset < y.end_offset : x.sub < y.sub;
    });
}

void write_bar(std::string &out, const BarValues &v) {
    json::Writer w(out);
    w.begin_object()
        .field("symbol", v.symbol)
        .field("frequency", v.frequency)
        .field("bob", time_text(v.bob))
        .field("eob", time_text(v.eob))
        .field("open", v.open)
        .field("high", v.high)
        .field("low", v.low)
        .field("close", v.close)
        .field("volume", v.volume)
        .field("amount", v.amount)
        .field("pre_close", v.pre_close)
        .field("position", 0)
        .end_object();
}

void write_tick(std::string &out, const TickValues &v) {
    json::Writer w(out);
    w.begin_object()
        .field("symbol", v.symbol)
        .field("created_at", time_text(v.created_at))
        .field("price", v.price)
        .field("open", v.open)
        .field("high", v.high)
        .field("low", v.low)
        .field("cum_volume", v.cum_volume)
        .field("cum_amount", v.cum_amount)
        .field("cum_position", 0)
        .field("last_volume", v.last_volume)
        .field("last_amount", v.last_amount)
        .field("trade_type", 0)
        .field("pre_close", v.pre_close);
    w.key("quotes")
        .begin_array()
        .begin_object()
        .field("bid_p", cents(v.price - 0.01))
        .field("bid_v", 2 * v.last_volume)
        .field("ask_p", cents(v.price + 0.01))
        .field("ask_v", 3 * v.last_volume)
        .end_object()
        .end_array();
    w.end_object();
}

void bar_json(std::string &out, const Sub &s, const Path &p, const Ev &e, long long day_start) {
    double high = p.price[e.a], low = p.price[e.a], amount = 0;
    long long volume = 0;
    for (int k = e.a; k < e.b; ++k) {
        high = std::max(high, p.price[k]);
        low = std::min(low, p.price[k]);
        volume += p.vol[k];
        amount += p.price[k] * static_cast<double>(p.vol[k]);
    }
    write_bar(out, {s.symbol, s.frequency, day_start + clock_of(e.a * kStep, false),
                    day_start + clock_of(e.b * kStep, true), p.price[e.a], high, low,
                    p.price[e.b - 1], volume, amount, p.pre_close});
}

void tick_json(std::string &out, const Sub &s, const Path &p, int k, long long t) {
    const double price = p.price[k];
    write_tick(
        out, {s.symbol, t, price, p.price[0], p.high[k], p.low[k], p.cum_volume[k], p.cum_amount[k],
              p.vol[k], price * static_cast<double>(p.vol[k]), p.pre_close});
}

}  // namespace market
}  // namespace vqstub
