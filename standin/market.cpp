/*
 * market.cpp - the offline market: bars and ticks from a seeded random
 * walk, delivered by vqi_run, and a simulated account that market and
 * limit orders fill against at once.  Formats are in MARKET.md.
 */
#include "market.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "json.h"

namespace vqstub {

std::atomic<bool> g_market_on{true};

namespace market {
namespace {

/* ---- calendar and clock -------------------------------------------------- */

/* The session: 09:30-11:30 and 13:00-15:00, weekdays, no holidays.  Times
 * are naive market-local seconds since 1970-01-01. */
constexpr int kStep = 3;    /* seconds per simulated trade */
constexpr int kHalf = 7200; /* seconds in each half session */
constexpr int kStepsPerDay = 2 * kHalf / kStep;
constexpr long long kMorning = 9 * 3600 + 30 * 60;
constexpr long long kAfternoon = 13 * 3600;
constexpr long long kDay = 86400;
constexpr double kStepSigma = 0.02 / 69.28203230275509; /* 2% a day: sqrt(4800) */

long long days_from_civil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civil_from_days(long long z, long long *y, unsigned *m, unsigned *d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<long long>(yoe) + era * 400 + (*m <= 2);
}

long long floor_div(long long a, long long b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

bool weekday(long long day) {
    const long long w = ((day % 7) + 7 + 4) % 7; /* 1970-01-01 was a Thursday: 0 = Sunday */
    return w != 0 && w != 6;
}

unsigned days_in_month(long long y, unsigned m) {
    static const unsigned n[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return m == 2 && leap ? 29 : n[m - 1];
}

bool digits(const char *&p, int n, int *out) {
    int v = 0;
    for (int i = 0; i < n; ++i, ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + (*p - '0');
    }
    *out = v;
    return true;
}

/* "YYYY-MM-DD", then optionally " HH:MM" or " HH:MM:SS" (' ' or 'T').
 * A bare date means its first second, or its last when is_end. */
bool parse_time(const char *s, bool is_end, long long *out) {
    if (!s)
        return false;
    while (*s == ' ')
        ++s;
    const char *p = s;
    int y, mo, d, h = 0, mi = 0, se = 0;
    if (!digits(p, 4, &y) || *p++ != '-' || !digits(p, 2, &mo) || *p++ != '-' || !digits(p, 2, &d))
        return false;
    if (mo < 1 || mo > 12 || d < 1 || static_cast<unsigned>(d) > days_in_month(y, mo))
        return false;
    bool date_only = true;
    if (*p == ' ' || *p == 'T') {
        const char *q = p + 1;
        while (*q == ' ')
            ++q;
        if (*q) {
            p = q;
            date_only = false;
            if (!digits(p, 2, &h) || *p++ != ':' || !digits(p, 2, &mi))
                return false;
            if (*p == ':' && !(++p, digits(p, 2, &se)))
                return false;
            if (h > 23 || mi > 59 || se > 59)
                return false;
        }
    }
    while (*p == ' ')
        ++p;
    if (*p)
        return false;
    *out = days_from_civil(y, mo, d) * kDay + h * 3600 + mi * 60 + se;
    if (date_only && is_end)
        *out += kDay - 1;
    return true;
}

void format_time(long long t, char out[64]) {
    const long long day = floor_div(t, kDay);
    const long long sec = t - day * kDay;
    long long y;
    unsigned m, d;
    civil_from_days(day, &y, &m, &d);
    std::snprintf(out, 64, "%04lld-%02u-%02u %02lld:%02lld:%02lld", y, m, d, sec / 3600,
                  sec / 60 % 60, sec % 60);
}

std::string time_text(long long t) {
    char buf[64];
    format_time(t, buf);
    return buf;
}

/* clock time of a session offset; the end of the morning is 11:30:00 */
long long clock_of(int offset, bool is_end) {
    if (offset < kHalf || (offset == kHalf && is_end))
        return kMorning + offset;
    return kAfternoon + (offset - kHalf);
}

/* ---- subscriptions ------------------------------------------------------- */

enum Kind { BAR, DAILY, TICK };

struct Sub {
    std::string symbol;
    std::string frequency;
    Kind kind = BAR;
    int seconds = 0;
};

/* "tick", "1d" (or "86400s"), or "<N>s" with N a multiple of 3 up to 14400 */
bool parse_frequency(const char *f, Kind *kind, int *seconds) {
    if (!f)
        return false;
    if (std::strcmp(f, "tick") == 0) {
        *kind = TICK;
        return true;
    }
    if (std::strcmp(f, "1d") == 0 || std::strcmp(f, "86400s") == 0) {
        *kind = DAILY;
        return true;
    }
    const char *p = f;
    long n = 0;
    while (*p >= '0' && *p <= '9' && n <= 100000)
        n = n * 10 + (*p++ - '0');
    if (p == f || std::strcmp(p, "s") != 0 || n <= 0 || n > 2 * kHalf || n % kStep)
        return false;
    *kind = BAR;
    *seconds = static_cast<int>(n);
    return true;
}

std::vector<std::string> split_symbols(const char *s) {
    std::vector<std::string> out;
    std::string cur;
    auto flush = [&] {
        const size_t b = cur.find_first_not_of(" \t"), e = cur.find_last_not_of(" \t");
        if (b != std::string::npos)
            out.push_back(cur.substr(b, e - b + 1));
        cur.clear();
    };
    for (; s && *s; ++s) {
        if (*s == ',')
            flush();
        else
            cur += *s;
    }
    flush();
    return out;
}

/* ---- state --------------------------------------------------------------- */

struct Position {
    long long volume = 0;
    double cost = 0; /* what the shares held cost, commission excluded */
};

struct Price {
    double last = 0;
};

struct Config {
    bool set = false;
    long long start = 0, end = 0;
    double initial_cash = 0, commission_ratio = 0, slippage_ratio = 0;
};

struct State {
    Config cfg;
    std::vector<Sub> subs;
    std::string account_id = "backtest";
    std::string strategy_id;
    /* the account of the current or last run */
    double cash = 0, commission = 0;
    std::map<std::string, Position> positions;
    std::map<std::string, Price> prices;
    long long orders = 0, fills = 0, bars = 0, ticks = 0;
    long long now = 0; /* time of the event being delivered */
    bool running = false;
};

std::mutex g_mu;
State g_state;
unsigned long long g_epoch = 0; /* bumped by clear(), so a run can tell */

void reset_account(State &s) {
    s.cash = s.cfg.initial_cash;
    s.commission = 0;
    s.positions.clear();
    s.prices.clear();
    s.orders = s.fills = s.bars = s.ticks = 0;
    s.now = s.cfg.start;
}

/* caller holds g_mu */
double market_value(const State &s) {
    double mv = 0;
    for (const auto &kv : s.positions) {
        auto it = s.prices.find(kv.first);
        mv += kv.second.volume * (it == s.prices.end() ? 0.0 : it->second.last);
    }
    return mv;
}

/* ---- the random walk ----------------------------------------------------- */

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

double cents(double p) {
    return std::max(0.01, std::round(p * 100) / 100);
}

/* One symbol's path.  Each 3-second step is one trade; a day's steps are
 * made at once, so every frequency reads the same trades. */
struct Path {
    std::string symbol;
    Rng rng{1};
    double p = 0;         /* the walk, unrounded */
    double pre_close = 0; /* close of the previous trading day */
    double price[kStepsPerDay];
    long long vol[kStepsPerDay];
    /* the day so far, up to and including each step, for ticks */
    double high[kStepsPerDay], low[kStepsPerDay], cum_amount[kStepsPerDay];
    long long cum_volume[kStepsPerDay];

    explicit Path(const std::string &sym) : symbol(sym), rng{seed_of(sym)} {
        p = 5.0 + static_cast<double>(rng.next() % 4500) / 100;
        pre_close = cents(p);
    }

    void day() {
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
};

/* one event of a day: steps [a, b) of subscription sub */
struct Ev {
    int end_offset;
    int sub;
    int a, b;
};

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

void bar_json(std::string &out, const Sub &s, const Path &p, const Ev &e, long long day_start) {
    double high = p.price[e.a], low = p.price[e.a], amount = 0;
    long long volume = 0;
    for (int k = e.a; k < e.b; ++k) {
        high = std::max(high, p.price[k]);
        low = std::min(low, p.price[k]);
        volume += p.vol[k];
        amount += p.price[k] * static_cast<double>(p.vol[k]);
    }
    json::Writer w(out);
    w.begin_object()
        .field("symbol", s.symbol)
        .field("frequency", s.frequency)
        .field("bob", time_text(day_start + clock_of(e.a * kStep, false)))
        .field("eob", time_text(day_start + clock_of(e.b * kStep, true)))
        .field("open", p.price[e.a])
        .field("high", high)
        .field("low", low)
        .field("close", p.price[e.b - 1])
        .field("volume", volume)
        .field("amount", amount)
        .field("pre_close", p.pre_close)
        .field("position", 0)
        .end_object();
}

void tick_json(std::string &out, const Sub &s, const Path &p, int k, long long t) {
    const double price = p.price[k];
    json::Writer w(out);
    w.begin_object()
        .field("symbol", s.symbol)
        .field("created_at", time_text(t))
        .field("price", price)
        .field("open", p.price[0])
        .field("high", p.high[k])
        .field("low", p.low[k])
        .field("cum_volume", p.cum_volume[k])
        .field("cum_amount", p.cum_amount[k])
        .field("cum_position", 0)
        .field("last_volume", p.vol[k])
        .field("last_amount", price * static_cast<double>(p.vol[k]))
        .field("trade_type", 0)
        .field("pre_close", p.pre_close);
    w.key("quotes")
        .begin_array()
        .begin_object()
        .field("bid_p", cents(price - 0.01))
        .field("bid_v", 2 * p.vol[k])
        .field("ask_p", cents(price + 0.01))
        .field("ask_v", 3 * p.vol[k])
        .end_object()
        .end_array();
    w.end_object();
}

/* caller holds g_mu */
void summary_json(std::string &out, const State &s) {
    const double mv = market_value(s);
    json::Writer w(out);
    w.begin_object()
        .field("account_id", s.account_id)
        .field("start", time_text(s.cfg.start))
        .field("end", time_text(s.cfg.end))
        .field("bars", s.bars)
        .field("ticks", s.ticks)
        .field("orders", s.orders)
        .field("fills", s.fills)
        .field("initial_cash", s.cfg.initial_cash)
        .field("cash", s.cash)
        .field("market_value", mv)
        .field("nav", s.cash + mv)
        .field("pnl", s.cash + mv - s.cfg.initial_cash)
        .field("commission", s.commission)
        .end_object();
}

/* one response buffer per thread and function: the caller copies it
 * before its next call */
thread_local std::string t_order_res, t_cash_res, t_positions_res, t_account_res;

void respond(std::string &buf, const char **res, int *res_len) {
    if (res)
        *res = buf.data();
    if (res_len)
        *res_len = static_cast<int>(buf.size());
}

/* ---- orders -------------------------------------------------------------- */

enum { SIDE_BUY = 1, SIDE_SELL = 2, TYPE_LIMIT = 1, TYPE_MARKET = 2 };
enum { STATUS_FILLED = 3, STATUS_REJECTED = 8 };

struct Order {
    std::string symbol, cl_ord_id;
    int side = 0, type = 0;
    long long volume = 0;
    double price = 0;
};

/* "" when the request is understood, else what is wrong with it */
const char *read_order(const char *req, int req_len, Order *o) {
    std::vector<json::Field> fields;
    json::Reader r(req ? req : "", req && req_len > 0 ? static_cast<size_t>(req_len) : 0);
    if (!r.object(fields))
        return "request is not a JSON object";
    const json::Value *sym = json::find(fields, "symbol");
    if (!sym || sym->kind != json::Value::STRING || sym->s.empty())
        return "symbol missing";
    o->symbol = sym->s;
    double side, volume, price = 0, type;
    if (!json::as_number(json::find(fields, "side"), &side) || (side != 1 && side != 2))
        return "side must be 1 (buy) or 2 (sell)";
    if (!json::as_number(json::find(fields, "volume"), &volume) || !(volume > 0) || volume > 1e15 ||
        volume != std::floor(volume))
        return "volume must be a positive whole number";
    const json::Value *pv = json::find(fields, "price");
    if (pv && pv->kind != json::Value::NUL &&
        (!json::as_number(pv, &price) || !(price >= 0) || !std::isfinite(price)))
        return "price must be a number >= 0";
    const json::Value *tv = json::find(fields, "order_type");
    if (tv && tv->kind != json::Value::NUL) {
        if (!json::as_number(tv, &type) || (type != TYPE_LIMIT && type != TYPE_MARKET))
            return "order_type must be 1 (limit) or 2 (market)";
    } else {
        type = price > 0 ? TYPE_LIMIT : TYPE_MARKET;
    }
    if (type == TYPE_LIMIT && !(price > 0))
        return "a limit order needs a price";
    const json::Value *cl = json::find(fields, "cl_ord_id");
    if (cl && cl->kind == json::Value::STRING)
        o->cl_ord_id = cl->s;
    o->side = static_cast<int>(side);
    o->type = static_cast<int>(type);
    o->volume = static_cast<long long>(volume);
    o->price = price;
    return "";
}

int place_order(const char *req, int req_len, const char **res, int *res_len) {
    Order o;
    const char *bad = read_order(req, req_len, &o);
    std::string &out = t_order_res;
    if (*bad) {
        json::Writer w(out);
        w.begin_object()
            .field("status", STATUS_REJECTED)
            .field("ord_rej_reason_detail", bad)
            .end_object();
        respond(out, res, res_len);
        return ERR_ORDER;
    }
    std::string report;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        State &s = g_state;
        const long long id = ++s.orders;
        const char *reject = "";
        double fill = 0, amount = 0, commission = 0;
        auto it = s.prices.find(o.symbol);
        if (it == s.prices.end()) {
            reject = "no market price for the symbol yet";
        } else {
            const double last = it->second.last;
            if (o.type == TYPE_LIMIT && o.side == SIDE_BUY && o.price < last)
                reject = "limit price below the market";
            else if (o.type == TYPE_LIMIT && o.side == SIDE_SELL && o.price > last)
                reject = "limit price above the market";
            fill =
                last * (o.side == SIDE_BUY ? 1 + s.cfg.slippage_ratio : 1 - s.cfg.slippage_ratio);
            amount = fill * static_cast<double>(o.volume);
            commission = amount * s.cfg.commission_ratio;
            Position &held = s.positions[o.symbol];
            if (*reject) {
            } else if (o.side == SIDE_BUY && s.cash < amount + commission) {
                reject = "insufficient cash";
            } else if (o.side == SIDE_SELL && held.volume < o.volume) {
                reject = "insufficient position";
            } else if (o.side == SIDE_BUY) {
                s.cash -= amount + commission;
                held.volume += o.volume;
                held.cost += amount;
            } else {
                s.cash += amount - commission;
                held.cost -=
                    held.cost * static_cast<double>(o.volume) / static_cast<double>(held.volume);
                held.volume -= o.volume;
            }
            if (held.volume == 0)
                s.positions.erase(o.symbol);
        }
        const bool filled = !*reject;
        if (filled) {
            ++s.fills;
            s.commission += commission;
        }
        const std::string order_id = std::to_string(id), at = time_text(s.now);
        json::Writer w(out);
        w.begin_object()
            .field("order_id", order_id)
            .field("cl_ord_id", o.cl_ord_id)
            .field("account_id", s.account_id)
            .field("symbol", o.symbol)
            .field("side", o.side)
            .field("order_type", o.type)
            .field("volume", o.volume)
            .field("price", o.price)
            .field("status", filled ? STATUS_FILLED : STATUS_REJECTED)
            .field("filled_volume", filled ? o.volume : 0LL)
            .field("filled_vwap", filled ? fill : 0.0)
            .field("filled_amount", filled ? amount : 0.0)
            .field("filled_commission", filled ? commission : 0.0)
            .field("ord_rej_reason_detail", reject)
            .field("created_at", at)
            .end_object();
        if (filled) {
            json::Writer r(report);
            r.begin_object()
                .field("exec_id", order_id)
                .field("order_id", order_id)
                .field("cl_ord_id", o.cl_ord_id)
                .field("account_id", s.account_id)
                .field("symbol", o.symbol)
                .field("side", o.side)
                .field("exec_type", 15)
                .field("price", fill)
                .field("volume", o.volume)
                .field("amount", amount)
                .field("commission", commission)
                .field("cash", s.cash)
                .field("created_at", at)
                .end_object();
        }
    }
    /* delivered after the event that placed the order has returned */
    if (!report.empty())
        push_event("execrpt", report.data(), static_cast<int>(report.size()));
    respond(out, res, res_len);
    return 0;
}

int cash(const char **res, int *res_len) {
    std::string &out = t_cash_res;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        const State &s = g_state;
        const double mv = market_value(s);
        json::Writer w(out);
        w.begin_object()
            .field("account_id", s.account_id)
            .field("currency", "CNY")
            .field("initial_cash", s.cfg.initial_cash)
            .field("available", s.cash)
            .field("market_value", mv)
            .field("nav", s.cash + mv)
            .field("pnl", s.cash + mv - s.cfg.initial_cash)
            .field("commission", s.commission)
            .field("created_at", time_text(s.now))
            .end_object();
    }
    respond(out, res, res_len);
    return 0;
}

int positions(const char *req, int req_len, const char **res, int *res_len) {
    /* optional filter: {"symbol": "..."} */
    std::vector<json::Field> fields;
    std::string only;
    json::Reader r(req ? req : "", req && req_len > 0 ? static_cast<size_t>(req_len) : 0);
    if (r.object(fields)) {
        const json::Value *v = json::find(fields, "symbol");
        if (v && v->kind == json::Value::STRING)
            only = v->s;
    }
    std::string &out = t_positions_res;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        const State &s = g_state;
        json::Writer w(out);
        w.begin_array();
        for (const auto &kv : s.positions) {
            if (!only.empty() && kv.first != only)
                continue;
            auto it = s.prices.find(kv.first);
            const double last = it == s.prices.end() ? 0.0 : it->second.last;
            const double vol = static_cast<double>(kv.second.volume);
            w.begin_object()
                .field("account_id", s.account_id)
                .field("symbol", kv.first)
                .field("side", SIDE_BUY)
                .field("volume", kv.second.volume)
                .field("vwap", kv.second.cost / vol)
                .field("price", last)
                .field("market_value", vol * last)
                .field("fpnl", vol * last - kv.second.cost)
                .end_object();
        }
        w.end_array();
    }
    respond(out, res, res_len);
    return 0;
}

}  // namespace

const char *error_text(int code) {
    switch (code) {
        case ERR_TIME:
            return "backtest start/end time not understood, or end before start";
        case ERR_SUBSCRIBE:
            return "no symbols, or a frequency the market cannot make";
        case ERR_ORDER:
            return "order request not understood";
        case ERR_NO_CONFIG:
            return "no backtest configuration";
        case ERR_BUSY:
            return "a backtest is already running";
        default:
            return nullptr;
    }
}

void clear() {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state = State();
    ++g_epoch;
}

int configure(const char *start_time, const char *end_time, double initial_cash,
              double commission_ratio, double slippage_ratio) {
    Config c;
    if (!parse_time(start_time, false, &c.start) || !parse_time(end_time, true, &c.end) ||
        c.end < c.start)
        return ERR_TIME;
    c.set = true;
    c.initial_cash = std::isfinite(initial_cash) ? std::max(0.0, initial_cash) : 0.0;
    c.commission_ratio = std::isfinite(commission_ratio) ? std::max(0.0, commission_ratio) : 0.0;
    c.slippage_ratio = std::isfinite(slippage_ratio) ? std::max(0.0, slippage_ratio) : 0.0;
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.cfg = c;
    if (!g_state.running)
        reset_account(g_state);
    return 0;
}

int subscribe(const char *symbols, const char *frequency, bool unsubscribe_previous) {
    Sub proto;
    const std::vector<std::string> names = split_symbols(symbols);
    if (names.empty() || !parse_frequency(frequency, &proto.kind, &proto.seconds))
        return ERR_SUBSCRIBE;
    proto.frequency = frequency;
    std::lock_guard<std::mutex> lock(g_mu);
    std::vector<Sub> &subs = g_state.subs;
    if (unsubscribe_previous)
        subs.clear();
    for (const std::string &name : names) {
        const bool dup = std::any_of(subs.begin(), subs.end(), [&](const Sub &s) {
            return s.symbol == name && s.frequency == proto.frequency;
        });
        if (dup)
            continue;
        Sub s = proto;
        s.symbol = name;
        subs.push_back(std::move(s));
    }
    return 0;
}

int unsubscribe(const char *symbols, const char *frequency) {
    const std::vector<std::string> names = split_symbols(symbols);
    const bool any_symbol = names.size() == 1 && names[0] == "*";
    const bool any_freq = !frequency || !*frequency || std::strcmp(frequency, "*") == 0;
    std::lock_guard<std::mutex> lock(g_mu);
    std::vector<Sub> &subs = g_state.subs;
    subs.erase(std::remove_if(subs.begin(), subs.end(),
                              [&](const Sub &s) {
                                  return (any_symbol || std::find(names.begin(), names.end(),
                                                                  s.symbol) != names.end()) &&
                                         (any_freq || s.frequency == frequency);
                              }),
               subs.end());
    return 0;
}

void set_account_id(const char *account_ids) {
    std::vector<std::string> ids = split_symbols(account_ids);
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.account_id = ids.empty() ? "backtest" : ids[0];
}

void set_strategy_id(const char *strategy_id) {
    std::lock_guard<std::mutex> lock(g_mu);
    g_state.strategy_id = strategy_id ? strategy_id : "";
}

int run() {
    std::vector<Sub> subs;
    Config cfg;
    unsigned long long epoch;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        State &s = g_state;
        if (s.running)
            return ERR_BUSY;
        if (s.subs.empty() || stop_requested())
            return 0;
        if (!s.cfg.set)
            return ERR_NO_CONFIG;
        s.running = true;
        reset_account(s);
        subs = s.subs;
        cfg = s.cfg;
        epoch = g_epoch;
    }

    /* one path per symbol, shared by its subscriptions */
    std::vector<std::unique_ptr<Path>> paths;
    std::vector<size_t> path_of(subs.size());
    for (size_t i = 0; i < subs.size(); ++i) {
        size_t j = 0;
        while (j < paths.size() && paths[j]->symbol != subs[i].symbol)
            ++j;
        if (j == paths.size())
            paths.emplace_back(new Path(subs[i].symbol));
        path_of[i] = j;
    }

    std::vector<Ev> evs;
    day_events(subs, evs);
    std::string payload;
    bool aborted = false, stopped = false;
    const long long first = floor_div(cfg.start, kDay), last = floor_div(cfg.end, kDay);
    for (long long day = first; day <= last && !aborted && !stopped; ++day) {
        if (!weekday(day))
            continue;
        for (auto &p : paths)
            p->day();
        const long long day_start = day * kDay;
        for (const Ev &e : evs) {
            const Sub &sub = subs[static_cast<size_t>(e.sub)];
            const Path &p = *paths[path_of[static_cast<size_t>(e.sub)]];
            const long long eob = day_start + clock_of(e.b * kStep, true);
            const long long bob = sub.kind == TICK ? eob : day_start + clock_of(e.a * kStep, false);
            if (bob < cfg.start || eob > cfg.end)
                continue;
            if (stop_requested()) {
                stopped = true;
                break;
            }
            {
                std::lock_guard<std::mutex> lock(g_mu);
                if (g_epoch != epoch) {
                    aborted = true;
                    break;
                }
                g_state.now = eob;
                g_state.prices[sub.symbol].last = p.price[e.b - 1];
                ++(sub.kind == TICK ? g_state.ticks : g_state.bars);
            }
            if (sub.kind == TICK)
                tick_json(payload, sub, p, e.a, eob);
            else
                bar_json(payload, sub, p, e, day_start);
            if (EventCallback cb = current_callback())
                cb(sub.kind == TICK ? "tick" : "bar", payload.data(),
                   static_cast<int>(payload.size()));
            /* execution reports, and whatever else the event queued */
            deliver_events(true);
            if (!market_on())
                aborted = true;
            if (aborted)
                break;
        }
        for (auto &p : paths)
            p->pre_close = p->price[kStepsPerDay - 1];
    }
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (g_epoch != epoch)
            return 0;
        g_state.running = false;
        if (aborted || stopped || stop_requested())
            return 0;
        summary_json(payload, g_state);
    }
    push_event("backtest_finished", payload.data(), static_cast<int>(payload.size()));
    deliver_events(true);
    return 0;
}

bool query(Fn id, const char *req, int req_len, const char **res, int *res_len, int *status) {
    switch (id) {
        case FN_vqi_place_order_pb:
            *status = place_order(req, req_len, res, res_len);
            return true;
        case FN_vqi_get_cash_pb:
            *status = cash(res, res_len);
            return true;
        case FN_vqi_get_positions_pb:
            *status = positions(req, req_len, res, res_len);
            return true;
        default:
            return false;
    }
}

int account_info(const char **res, int *res_len) {
    std::string &out = t_account_res;
    {
        std::lock_guard<std::mutex> lock(g_mu);
        json::Writer w(out);
        w.begin_array()
            .begin_object()
            .field("account_id", g_state.account_id)
            .field("account_name", g_state.account_id)
            .field("strategy_id", g_state.strategy_id)
            .field("mode", "backtest")
            .end_object()
            .end_array();
    }
    respond(out, res, res_len);
    return 0;
}

}  // namespace market
}  // namespace vqstub
