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

/* std::round (half away from zero), without the library call: for
 * 0 <= x < 2**53 the whole part and the rest are exact */
inline double round_half_up(double x) {
    if (!(x >= 0 && x < 9007199254740992.0))
        return std::round(x);
    const long long whole = static_cast<long long>(x);
    return static_cast<double>(whole + (x - static_cast<double>(whole) >= 0.5));
}

double cents(double p) {
    return std::max(0.01, round_half_up(p * 100) / 100);
}

std::string quoted(const std::string &s) {
    std::string out;
    json::Writer(out).str(s);
    return out;
}

Path::Path(const std::string &sym) : symbol(sym), rng{seed_of(sym)} {
    p = 5.0 + static_cast<double>(rng.next() % 4500) / 100;
    pre_close = cents(p);
}

void Path::day() {
    if (day_totals)
        walk_day<true>();
    else
        walk_day<false>();
}

template <bool kTotals>
void Path::walk_day() {
    /* the walk's state in locals: the stores into the arrays below could
     * otherwise alias it (vol and cum_volume are long long) */
    Rng r = rng;
    double w = p, hi = 0, lo = 0, cum_amt = 0;
    long long cum_vol = 0;
    for (int k = 0; k < kStepsPerDay; ++k) {
        /* four uniforms, each next() >> 11 scaled by 2**-53; scaling by a
         * power of two commutes with rounding, so the sum is scaled once */
        const double u1 = static_cast<double>(r.next() >> 11);
        const double u2 = static_cast<double>(r.next() >> 11);
        const double u3 = static_cast<double>(r.next() >> 11);
        const double u4 = static_cast<double>(r.next() >> 11);
        const double z = ((u1 + u2 + u3 + u4) * 0x1.0p-53 - 2.0) * 1.7320508075688772;
        w = std::max(0.005, w * (1 + kStepSigma * z));
        const double c = cents(w);
        const long long v = 100 * static_cast<long long>(1 + r.next() % 20);
        price[k] = c;
        vol[k] = v;
        if (kTotals) {
            hi = k ? std::max(hi, c) : c;
            lo = k ? std::min(lo, c) : c;
            cum_vol += v;
            cum_amt += c * static_cast<double>(v);
            high[k] = hi;
            low[k] = lo;
            cum_volume[k] = cum_vol;
            cum_amount[k] = cum_amt;
        }
    }
    rng = r;
    p = w;
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

/* room for a payload's numbers and times besides its texts */
constexpr size_t kBarRoom = 160 + 10 * text::kNumber;
constexpr size_t kTickRoom = 240 + 16 * text::kNumber;

void write_bar(Text &out, const BarValues &v) {
    using namespace text;
    out.clear();
    out.reserve(v.symbol.size() + v.frequency.size() + kBarRoom);
    char *p = out.at();
    p = str(lit(p, "{\"symbol\":"), v.symbol);
    p = str(lit(p, ",\"frequency\":"), v.frequency);
    p = lit(out.time(lit(p, ",\"bob\":\""), v.bob), "\"");
    p = lit(out.time(lit(p, ",\"eob\":\""), v.eob), "\"");
    p = number(lit(p, ",\"open\":"), v.open);
    p = number(lit(p, ",\"high\":"), v.high);
    p = number(lit(p, ",\"low\":"), v.low);
    p = number(lit(p, ",\"close\":"), v.close);
    p = integer(lit(p, ",\"volume\":"), v.volume);
    p = number(lit(p, ",\"amount\":"), v.amount);
    p = number(lit(p, ",\"pre_close\":"), v.pre_close);
    out.commit(lit(p, ",\"position\":0}"));
}

void write_tick(Text &out, const TickValues &v) {
    using namespace text;
    out.clear();
    out.reserve(v.symbol.size() + kTickRoom);
    char *p = out.at();
    p = str(lit(p, "{\"symbol\":"), v.symbol);
    p = lit(out.time(lit(p, ",\"created_at\":\""), v.created_at), "\"");
    p = number(lit(p, ",\"price\":"), v.price);
    p = number(lit(p, ",\"open\":"), v.open);
    p = number(lit(p, ",\"high\":"), v.high);
    p = number(lit(p, ",\"low\":"), v.low);
    p = integer(lit(p, ",\"cum_volume\":"), v.cum_volume);
    p = number(lit(p, ",\"cum_amount\":"), v.cum_amount);
    p = integer(lit(p, ",\"cum_position\":0,\"last_volume\":"), v.last_volume);
    p = number(lit(p, ",\"last_amount\":"), v.last_amount);
    p = number(lit(p, ",\"trade_type\":0,\"pre_close\":"), v.pre_close);
    p = number(lit(p, ",\"quotes\":[{\"bid_p\":"), cents(v.price - 0.01));
    p = integer(lit(p, ",\"bid_v\":"), 2 * v.last_volume);
    p = number(lit(p, ",\"ask_p\":"), cents(v.price + 0.01));
    p = integer(lit(p, ",\"ask_v\":"), 3 * v.last_volume);
    out.commit(lit(p, "}]}"));
}

void bar_json(Text &out, const Sub &s, const Path &p, const Ev &e, long long day_start) {
    double high = p.price[e.a], low = p.price[e.a], amount = 0;
    long long volume = 0;
    for (int k = e.a; k < e.b; ++k) {
        high = std::max(high, p.price[k]);
        low = std::min(low, p.price[k]);
        volume += p.vol[k];
        amount += p.price[k] * static_cast<double>(p.vol[k]);
    }
    write_bar(out, {s.symbol_json, s.frequency_json, day_start + clock_of(e.a * kStep, false),
                    day_start + clock_of(e.b * kStep, true), p.price[e.a], high, low,
                    p.price[e.b - 1], volume, amount, p.pre_close});
}

void tick_json(Text &out, const Sub &s, const Path &p, int k, long long t) {
    const double price = p.price[k];
    write_tick(out,
               {s.symbol_json, t, price, p.price[0], p.high[k], p.low[k], p.cum_volume[k],
                p.cum_amount[k], p.vol[k], price * static_cast<double>(p.vol[k]), p.pre_close});
}

}  // namespace market
}  // namespace vqstub
