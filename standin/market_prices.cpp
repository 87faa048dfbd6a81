/*
 * market_prices.cpp - the seeded random walk behind every symbol, and the
 * bar and tick payloads read from it.  Formats are in MARKET.md.
 */
#include "market_prices.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "json.h"

namespace vqstub {
namespace market {
namespace {

constexpr double kStepSigma = 0.02 / 69.28203230275509; /* 2% a day: sqrt(4800) */
/* the variance of the sum of four uniforms made 1, and the uniforms'
 * scale 2**-53: a power of two, so the product is exact */
constexpr double kUnitScale = 1.7320508075688772 * 0x1.0p-53;
/* the walk's floor, as a price in cents, is at least half a cent: cents()
 * needs no lower bound for it (see walk_cents) */
constexpr double kFloor = 0.005;
static_assert(kFloor * 100 >= 0.5, "the floor rounds to at least one cent");

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

/* std::round (half away from zero), without the library call: for
 * 0 <= x < 2**53 the whole part and the rest are exact */
inline double round_half_up(double x) {
    if (!(x >= 0 && x < 9007199254740992.0))
        return std::round(x);
    const long long whole = static_cast<long long>(x);
    return static_cast<double>(whole + (x - static_cast<double>(whole) >= 0.5));
}

/* For 0.5 <= t < 2**51, t + 0.5 rounded to a double has the same whole
 * part as t + 0.5 itself: t and 0.5 are multiples of t's ulp (at most
 * 0.5), so the sum is exact unless it reaches the next binade, and there
 * (below 2**k + 0.5 for the power 2**k it crossed) rounding cannot carry
 * it to the next integer.  So the truncation is round_half_up(t). */
inline double cents_from(double t) {
    return static_cast<double>(static_cast<long long>(t + 0.5)) / 100;
}

/* cents(w) of the walk, whose w is never below kFloor */
inline double walk_cents(double w) {
    const double t = w * 100;
    return __builtin_expect(t < 0x1.0p51, 1) ? cents_from(t) : cents(w);
}

/* the volumes of a trade, 100 to 2000, by next() % 20 */
constexpr double kVolume[20] = {100,  200,  300,  400,  500,  600,  700,  800,  900,  1000,
                                1100, 1200, 1300, 1400, 1500, 1600, 1700, 1800, 1900, 2000};

/* One trade of the walk: moves w, and gives the trade's price and (in m)
 * its volume's index in kVolume.  The move is
 *     z = ((u1 + u2 + u3 + u4) * 2**-53 - 2) * sqrt(3)
 * with u = next() >> 11 in doubles, summed left to right, rewritten
 * without changing a bit: u1 + u2 is added in integers (both are below
 * 2**53, so converting the exact sum rounds it once, as the double
 * addition does), and the scaling by 2**-53 moves past the subtraction into
 * the constant (a power of two commutes with rounding this far from
 * underflow).  The floor is std::max(kFloor, moved) for a moved that is
 * never NaN. */
__attribute__((always_inline)) inline double step(Rng &r, double &w, unsigned &m) {
    const long long x1 = static_cast<long long>(r.next() >> 11);
    const long long x2 = static_cast<long long>(r.next() >> 11);
    double sum = static_cast<double>(x1 + x2);
    sum += static_cast<double>(static_cast<long long>(r.next() >> 11));
    sum += static_cast<double>(static_cast<long long>(r.next() >> 11));
    const double z = (sum - 0x1.0p54) * kUnitScale;
    const double moved = w * (1 + kStepSigma * z);
    w = moved > kFloor ? moved : kFloor;
    m = static_cast<unsigned>(r.next() % 20);
    return walk_cents(w);
}

/* "HH:MM:SS" of a second of the day, as Text::time writes it */
void clock_text(char out[8], int sec) {
    const int h = sec / 3600, m = sec / 60 % 60, s = sec % 60;
    const char text[8] = {static_cast<char>('0' + h / 10), static_cast<char>('0' + h % 10), ':',
                          static_cast<char>('0' + m / 10), static_cast<char>('0' + m % 10), ':',
                          static_cast<char>('0' + s / 10), static_cast<char>('0' + s % 10)};
    std::memcpy(out, text, 8);
}

}  // namespace

double cents(double p) {
    const double t = p * 100;
    if (t >= 0.5 && t < 0x1.0p51)
        return cents_from(t); /* at least one cent */
    return std::max(0.01, round_half_up(t) / 100);
}

std::string quoted(const std::string &s) {
    std::string out;
    json::Writer(out).str(s);
    return out;
}

Path::Path(const std::string &sym) : symbol(sym), rng{seed_of(sym)} {
    p = 5.0 + static_cast<double>(rng.next() % 4500) / 100;
    pre_close = cents(p);
    segs.resize(2);
}

void Path::plan(const std::vector<const Sub *> &subs) {
    int own = 0;
    steps = day_totals = daily = false;
    for (const Sub *s : subs) {
        daily |= s->kind == DAILY;
        if (s->kind == TICK) {
            steps = day_totals = true;
        } else if (s->kind == BAR) {
            const int n = std::min(s->seconds / kStep, kHalfSteps);
            if (!own)
                own = n;
            else if (n != own)
                steps = true;
        }
    }
    seg_steps = own ? own : kHalfSteps;
    segs.assign(static_cast<size_t>(2 * ((kHalfSteps + seg_steps - 1) / seg_steps)), Seg());
}

int Path::seg_of(int seconds, int a) const {
    const int n = std::min(seconds / kStep, kHalfSteps);
    if (n != seg_steps)
        return -1;
    const int half = static_cast<int>(segs.size() / 2);
    return a < kHalfSteps ? a / n : half + (a - kHalfSteps) / n;
}

void Path::day() {
    if (day_totals)
        walk_day<true, true, true>();
    else if (steps)
        walk_day<true, false, true>();
    else if (daily)
        walk_day<false, false, true>();
    else
        walk_day<false, false, false>();
}

template <bool kSteps, bool kTotals, bool kDay>
void Path::walk_day() {
    /* the walk's state in locals: the stores into the arrays below could
     * otherwise alias it (vol and cum_volume are long long) */
    Rng r = rng;
    double w = p, hi = 0, lo = 0, day_amt = 0;
    long long cum_vol = 0;
    unsigned m = 0;
    /* the day's running sums, and the steps when they are read */
    const auto keep = [&](int k, double c, double a) {
        if (kDay)
            day_amt += a;
        if (kSteps) {
            price[k] = c;
            vol[k] = 100 * static_cast<long long>(m + 1);
        }
        if (kTotals) {
            hi = k ? std::max(hi, c) : c;
            lo = k ? std::min(lo, c) : c;
            cum_vol += vol[k];
            high[k] = hi;
            low[k] = lo;
            cum_volume[k] = cum_vol;
            cum_amount[k] = day_amt;
        }
    };
    Seg *g = segs.data();
    int k = 0;
    for (int h = 0; h < 2; ++h) {
        for (int o = 0; o < kHalfSteps; o += seg_steps, ++g) {
            const int first = k, end = h * kHalfSteps + std::min(o + seg_steps, kHalfSteps);
            /* a bar's sums start at its first trade (0 + a is a); its
             * volume is summed as indices, 100 * (index + 1) a trade;
             * high and low are std::max and std::min of prices that are
             * never NaN, in the operand order of one maxsd or minsd */
            double c = step(r, w, m), a = c * kVolume[m];
            Seg s{c, c, c, c, a, 0};
            unsigned units = m; /* at most 19 * 2400 */
            keep(k, c, a);
            for (int left = end - k - 1; left > 0; --left) { /* counted down: one test */
                c = step(r, w, m);
                a = c * kVolume[m];
                s.high = s.high > c ? s.high : c;
                s.low = s.low < c ? s.low : c;
                s.amount += a;
                units += m;
                keep(end - left, c, a);
            }
            k = end;
            s.close = c;
            s.volume = 100 * static_cast<long long>(units + static_cast<unsigned>(end - first));
            *g = s;
        }
    }
    rng = r;
    p = w;
    day_amount = day_amt;
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
    for (Ev &e : out) {
        e.eob_clock = static_cast<int>(clock_of(e.b * kStep, true));
        e.bob_clock = subs[static_cast<size_t>(e.sub)].kind == TICK
                          ? e.eob_clock
                          : static_cast<int>(clock_of(e.a * kStep, false));
        clock_text(e.bob_text, e.bob_clock);
        clock_text(e.eob_text, e.eob_clock);
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
    p = price(lit(p, ",\"open\":"), v.open);
    p = price(lit(p, ",\"high\":"), v.high);
    p = price(lit(p, ",\"low\":"), v.low);
    p = price(lit(p, ",\"close\":"), v.close);
    p = integer(lit(p, ",\"volume\":"), v.volume);
    p = amount(lit(p, ",\"amount\":"), v.amount);
    p = price(lit(p, ",\"pre_close\":"), v.pre_close);
    out.commit(lit(p, ",\"position\":0}"));
}

void write_tick(Text &out, const TickValues &v) {
    using namespace text;
    out.clear();
    out.reserve(v.symbol.size() + kTickRoom);
    char *p = out.at();
    p = str(lit(p, "{\"symbol\":"), v.symbol);
    p = lit(out.time(lit(p, ",\"created_at\":\""), v.created_at), "\"");
    p = price(lit(p, ",\"price\":"), v.price);
    p = price(lit(p, ",\"open\":"), v.open);
    p = price(lit(p, ",\"high\":"), v.high);
    p = price(lit(p, ",\"low\":"), v.low);
    p = integer(lit(p, ",\"cum_volume\":"), v.cum_volume);
    p = amount(lit(p, ",\"cum_amount\":"), v.cum_amount);
    p = integer(lit(p, ",\"cum_position\":0,\"last_volume\":"), v.last_volume);
    p = amount(lit(p, ",\"last_amount\":"), v.last_amount);
    p = price(lit(p, ",\"trade_type\":0,\"pre_close\":"), v.pre_close);
    p = price(lit(p, ",\"quotes\":[{\"bid_p\":"), cents(v.price - 0.01));
    p = integer(lit(p, ",\"bid_v\":"), 2 * v.last_volume);
    p = price(lit(p, ",\"ask_p\":"), cents(v.price + 0.01));
    p = integer(lit(p, ",\"ask_v\":"), 3 * v.last_volume);
    out.commit(lit(p, "}]}"));
}

void bar_json(BarText &out, const Sub &s, const Path &p, const Ev &e, long long day_start) {
    double open, high, low, close, amt;
    long long volume;
    if (e.seg >= 0) {
        const Seg &g = p.segs[static_cast<size_t>(e.seg)];
        open = g.open, high = g.high, low = g.low, close = g.close, amt = g.amount;
        volume = g.volume;
    } else if (s.kind == DAILY) { /* the day's bars; its amount in step order */
        open = p.segs.front().open, close = p.segs.back().close, amt = p.day_amount;
        high = open, low = open, volume = 0;
        for (const Seg &g : p.segs) {
            high = std::max(high, g.high);
            low = std::min(low, g.low);
            volume += g.volume;
        }
    } else {
        open = high = low = p.price[e.a], close = p.price[e.b - 1], amt = 0, volume = 0;
        for (int k = e.a; k < e.b; ++k) {
            high = std::max(high, p.price[k]);
            low = std::min(low, p.price[k]);
            volume += p.vol[k];
            amt += p.price[k] * static_cast<double>(p.vol[k]);
        }
    }
    using namespace text;
    Text &t = out.text;
    if (!out.made || out.day != day_start) { /* write_bar's text up to "open": */
        t.clear();
        t.reserve(s.symbol_json.size() + s.frequency_json.size() + kBarRoom);
        char *q = str(lit(t.at(), "{\"symbol\":"), s.symbol_json);
        q = str(lit(q, ",\"frequency\":"), s.frequency_json);
        q = t.time(lit(q, ",\"bob\":\""), day_start + e.bob_clock);
        out.bob_at = static_cast<size_t>(q - t.begin()) - 8;
        q = t.time(lit(q, "\",\"eob\":\""), day_start + e.eob_clock);
        out.eob_at = static_cast<size_t>(q - t.begin()) - 8;
        t.commit(lit(q, "\",\"open\":"));
        out.head = t.size();
        out.day = day_start;
        out.made = true;
    }
    t.keep(out.head);
    t.reserve(kBarRoom);
    std::memcpy(t.begin() + out.bob_at, e.bob_text, 8);
    std::memcpy(t.begin() + out.eob_at, e.eob_text, 8);
    char *q = cents_price(t.at(), open);
    q = cents_price(lit(q, ",\"high\":"), high);
    q = cents_price(lit(q, ",\"low\":"), low);
    q = cents_price(lit(q, ",\"close\":"), close);
    q = integer(lit(q, ",\"volume\":"), volume);
    q = amount(lit(q, ",\"amount\":"), amt);
    q = cents_price(lit(q, ",\"pre_close\":"), p.pre_close);
    t.commit(lit(q, ",\"position\":0}"));
}

void tick_json(Text &out, const Sub &s, const Path &p, int k, long long t) {
    const double price = p.price[k];
    write_tick(out,
               {s.symbol_json, t, price, p.price[0], p.high[k], p.low[k], p.cum_volume[k],
                p.cum_amount[k], p.vol[k], price * static_cast<double>(p.vol[k]), p.pre_close});
}

}  // namespace market
}  // namespace vqstub
