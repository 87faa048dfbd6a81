/*
 * market_run.cpp - what vqi_run does in market mode: the configuration and
 * subscriptions it runs on, and the loop that walks the trading days and
 * delivers each bar and tick, the execution reports the strategy's orders
 * queue, and the closing summary.  Formats are in MARKET.md.
 */
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "json.h"
#include "market.h"
#include "market_calendar.h"
#include "market_prices.h"
#include "market_replay.h"
#include "market_state.h"

namespace vqstub {

std::atomic<bool> g_market_on{true};

namespace market {
namespace {

bool parse_frequency(const char *f, Kind *kind, int *seconds) {
    const int n = bar_seconds(f);
    if (n < 0)
        return false;
    *kind = n == 0 ? TICK : n == kDay ? DAILY : BAR;
    if (*kind == BAR)
        *seconds = n;
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

/* negative and non-finite settings count as 0 */
double setting(double v) {
    return std::isfinite(v) ? std::max(0.0, v) : 0.0;
}

/* caller holds g_mu */
void summary_json(std::string &out, const State &s) {
    json::Writer w(out);
    w.begin_object()
        .field("account_id", s.account_id)
        .field("start", time_text(s.cfg.start))
        .field("end", time_text(s.cfg.end))
        .field("bars", s.bars)
        .field("ticks", s.ticks)
        .field("orders", s.orders)
        .field("fills", s.fills);
    value_fields(w, s, "cash").end_object();
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
        case ERR_HOLIDAYS:
            return "a date of VQ_STANDIN_HOLIDAYS not understood";
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
              double commission_ratio, double commission_min, double slippage_ratio) {
    Config c;
    if (!parse_time(start_time, false, &c.start) || !parse_time(end_time, true, &c.end) ||
        c.end < c.start)
        return ERR_TIME;
    if (!load_holidays(&c.holidays))
        return ERR_HOLIDAYS;
    c.set = true;
    c.initial_cash = setting(initial_cash);
    c.commission_ratio = setting(commission_ratio);
    c.commission_min = setting(commission_min);
    c.slippage_ratio = setting(slippage_ratio);
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
    proto.frequency_json = quoted(proto.frequency);
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
        s.symbol_json = quoted(name);
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

    /* A symbol with replayed data is served from it alone: its
     * subscriptions at other frequencies deliver nothing. */
    const std::vector<replay::FeedPtr> feeds = replay::snapshot();
    std::vector<std::unique_ptr<replay::Cursor>> cursors(subs.size());
    std::vector<char> walks(subs.size());
    for (size_t i = 0; i < subs.size(); ++i) {
        bool fed = false;
        if (replay::FeedPtr f = replay::find(feeds, subs[i].symbol, subs[i].frequency, &fed))
            cursors[i].reset(new replay::Cursor(std::move(f)));
        walks[i] = !fed;
    }

    /* one path per symbol, shared by its subscriptions, keeping what the
     * walking ones read */
    std::vector<std::unique_ptr<Path>> paths;
    std::vector<std::vector<const Sub *>> readers;
    std::vector<size_t> path_of(subs.size());
    for (size_t i = 0; i < subs.size(); ++i) {
        size_t j = 0;
        while (j < paths.size() && paths[j]->symbol != subs[i].symbol)
            ++j;
        if (j == paths.size()) {
            paths.emplace_back(new Path(subs[i].symbol));
            readers.emplace_back();
        }
        path_of[i] = j;
        if (walks[i])
            readers[j].push_back(&subs[i]);
    }
    for (size_t j = 0; j < paths.size(); ++j)
        paths[j]->plan(readers[j]);

    /* one event due: a step range of the walk, or a replayed row */
    struct Item {
        long long eob;
        size_t sub;
        const Ev *walk;
        const replay::Due *row;
    };
    std::vector<Ev> evs;
    day_events(subs, evs);
    for (Ev &e : evs) {
        const Sub &s = subs[static_cast<size_t>(e.sub)];
        if (s.kind == BAR)
            e.seg = paths[path_of[static_cast<size_t>(e.sub)]]->seg_of(s.seconds, e.a);
    }
    /* the first bob and the last eob of a day's walk, to check a day's
     * range once when it is all inside it */
    int first_bob = kDay, last_eob = 0;
    for (const Ev &e : evs) {
        first_bob = std::min(first_bob, e.bob_clock);
        last_eob = std::max(last_eob, e.eob_clock);
    }
    const bool all_walk = std::all_of(walks.begin(), walks.end(), [](char w) { return w != 0; });
    std::vector<Item> items;
    std::vector<replay::Due> rows;
    std::vector<size_t> row_sub;
    Text text;                                   /* tick and replayed payloads, written in place */
    std::vector<BarText> bar_texts(subs.size()); /* the walk's bars, per subscription */
    std::string payload;
    /* each subscription's entry of the account's prices, once it has one:
     * map entries stay put until a reset, which ends this run (epoch) */
    std::vector<Price *> price_of(subs.size(), nullptr);
    std::vector<std::string> reports;
    bool aborted = false, stopped = false;
    const long long first = floor_div(cfg.start, kDay), last = floor_div(cfg.end, kDay);
    for (long long day = first; day <= last && !aborted && !stopped; ++day) {
        const long long day_start = day * kDay;
        const bool trading = trading_day(day, cfg.holidays); /* replayed data has its own */
        if (trading)
            for (auto &p : paths)
                p->day();
        rows.clear();
        row_sub.clear();
        for (size_t i = 0; i < cursors.size(); ++i) {
            if (!cursors[i])
                continue;
            cursors[i]->day(day, cfg.start, cfg.end, rows);
            row_sub.resize(rows.size(), i); /* whose they are */
        }
        /* The walk's events alone come in delivery order: they are read
         * from evs as they are.  With replayed rows the day's events are
         * merged: time order; at the same time, subscription order. */
        items.clear();
        if (!rows.empty()) {
            if (trading)
                for (const Ev &e : evs)
                    items.push_back(
                        Item{day_start + e.eob_clock, static_cast<size_t>(e.sub), &e, nullptr});
            for (size_t r = 0; r < rows.size(); ++r)
                items.push_back(Item{rows[r].row.eob, row_sub[r], nullptr, &rows[r]});
            const auto before = [](const Item &x, const Item &y) {
                return x.eob != y.eob ? x.eob < y.eob : x.sub < y.sub;
            };
            if (!std::is_sorted(items.begin(), items.end(), before))
                std::stable_sort(items.begin(), items.end(), before);
        }
        const bool merged = !rows.empty();
        const size_t due = merged ? items.size() : trading ? evs.size() : 0;
        const bool inside =
            all_walk && day_start + first_bob >= cfg.start && day_start + last_eob <= cfg.end;
        for (size_t x = 0; x < due; ++x) {
            const Ev *walk = merged ? items[x].walk : &evs[x];
            const replay::Due *row = merged ? items[x].row : nullptr;
            const size_t i = merged ? items[x].sub : static_cast<size_t>(walk->sub);
            const long long eob = merged ? items[x].eob : day_start + walk->eob_clock;
            if (walk && !inside &&
                (!walks[i] || day_start + walk->bob_clock < cfg.start || eob > cfg.end))
                continue;
            const Sub &sub = subs[i];
            const Path &p = *paths[path_of[i]];
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
                /* orders decided earlier meet this bar's opening trade, or
                 * this tick: a tick at the time of the order is not later */
                if (!g_state.pending.empty()) {
                    const long long bob = walk               ? day_start + walk->bob_clock
                                          : sub.kind == TICK ? eob
                                                             : row->row.bob;
                    const double open = walk               ? p.open_of(*walk)
                                        : sub.kind == TICK ? row->row.close /* its price */
                                                           : row->row.open;
                    fill_pending(g_state, sub.symbol, bob, sub.kind == TICK, open, reports);
                }
                g_state.now = eob;
                Price *&price = price_of[i];
                if (!price)
                    price = &g_state.prices[sub.symbol];
                price->last = walk ? p.close_of(*walk) : row->row.close;
                ++(sub.kind == TICK ? g_state.ticks : g_state.bars);
            }
            if (!reports.empty()) { /* the fills come before the bar they opened */
                for (const std::string &r : reports)
                    push_event("execrpt", r.data(), static_cast<int>(r.size()));
                reports.clear();
                deliver_events(true);
                if (stop_requested()) {
                    stopped = true;
                    break;
                }
            }
            const Text *out = &text;
            if (!walk && sub.kind == TICK) {
                replay::tick_json(text, sub, *row);
            } else if (!walk) {
                replay::bar_json(text, sub, *row);
            } else if (sub.kind == TICK) {
                tick_json(text, sub, p, walk->a, eob);
            } else {
                BarText &bar = bar_texts[i];
                bar_json(bar, sub, p, *walk, day_start);
                out = &bar.text;
            }
            if (EventCallback cb = current_callback())
                cb(sub.kind == TICK ? "tick" : "bar", out->data(), static_cast<int>(out->size()));
            /* execution reports, and whatever else the event queued */
            deliver_events(true);
            if (!market_on())
                aborted = true;
            if (aborted)
                break;
        }
        if (trading)
            for (auto &p : paths)
                p->pre_close = p->segs.back().close;
    }
    {
        std::lock_guard<std::mutex> lock(g_mu);
        if (g_epoch != epoch)
            return 0;
        g_state.running = false;
        if (aborted || stopped || stop_requested())
            return 0;
        expire_pending(g_state, reports);
        summary_json(payload, g_state);
    }
    for (const std::string &r : reports)
        push_event("execrpt", r.data(), static_cast<int>(r.size()));
    push_event("backtest_finished", payload.data(), static_cast<int>(payload.size()));
    deliver_events(true);
    return 0;
}

}  // namespace market
}  // namespace vqstub
