/*
 * market_account.cpp - the simulated account: orders read from their JSON
 * request, filled by market_fill.h, and the cash, positions and account
 * queries answered in JSON.  Formats are in MARKET.md.
 */
#include <cmath>
#include <mutex>
#include <string>
#include <vector>

#include "json.h"
#include "market.h"
#include "market_calendar.h"
#include "market_fill.h"
#include "market_state.h"

namespace vqstub {
namespace market {

std::mutex g_mu;
State g_state;
unsigned long long g_epoch = 0;

void reset_account(State &s) {
    s.cash = s.cfg.initial_cash;
    s.commission = 0;
    s.positions.clear();
    s.prices.clear();
    s.orders = s.fills = s.bars = s.ticks = 0;
    s.now = s.cfg.start;
    s.pending.clear();
}

double market_value(const State &s) {
    double mv = 0;
    for (const auto &kv : s.positions) {
        auto it = s.prices.find(kv.first);
        mv += kv.second.volume * (it == s.prices.end() ? 0.0 : it->second.last);
    }
    return mv;
}

json::Writer &value_fields(json::Writer &w, const State &s, const char *cash_key) {
    const double mv = market_value(s);
    return w.field("initial_cash", s.cfg.initial_cash)
        .field(cash_key, s.cash)
        .field("market_value", mv)
        .field("nav", s.cash + mv)
        .field("pnl", s.cash + mv - s.cfg.initial_cash)
        .field("commission", s.commission);
}

namespace {

/* one response buffer per thread and function: the caller copies it
 * before its next call */
thread_local std::string t_order_res, t_cash_res, t_positions_res, t_account_res;

void respond(std::string &buf, const char **res, int *res_len) {
    if (res)
        *res = buf.data();
    if (res_len)
        *res_len = static_cast<int>(buf.size());
}

/* order statuses, and the execution types of a trade and a rejection */
enum { STATUS_NEW = 1, STATUS_FILLED = 3, STATUS_REJECTED = 8 };
enum { EXEC_REJECTED = 8, EXEC_TRADE = 15 };

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

/* Fill o at `price` against the account and book the result; the fill,
 * or why there is none.  Caller holds g_mu. */
Fill apply_order(State &s, const Order &o, double price) {
    FillInput in;
    in.side = o.side;
    in.type = o.type;
    in.volume = o.volume;
    in.limit = o.price;
    in.last = price;
    in.slippage_ratio = s.cfg.slippage_ratio;
    in.commission_ratio = s.cfg.commission_ratio;
    in.commission_min = s.cfg.commission_min;
    in.cash = s.cash;
    auto held = s.positions.find(o.symbol);
    if (held != s.positions.end()) {
        in.held_volume = held->second.volume;
        in.held_cost = held->second.cost;
    }
    const Fill f = fill_order(in);
    s.cash = f.cash;
    if (f.held_volume == 0)
        s.positions.erase(o.symbol);
    else
        s.positions[o.symbol] = Position{f.held_volume, f.held_cost};
    if (!*f.reject) {
        ++s.fills;
        s.commission += f.commission;
    }
    return f;
}

void order_json(std::string &out, const State &s, const Order &o, const std::string &order_id,
                const Fill &f, int status) {
    const bool filled = status == STATUS_FILLED;
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
        .field("status", status)
        .field("filled_volume", filled ? o.volume : 0LL)
        .field("filled_vwap", filled ? f.price : 0.0)
        .field("filled_amount", filled ? f.amount : 0.0)
        .field("filled_commission", filled ? f.commission : 0.0)
        .field("ord_rej_reason_detail", f.reject)
        .field("created_at", time_text(s.now))
        .end_object();
}

/* the execution report of a fill at `at`, or of a rejection */
void execrpt_json(std::string &out, const State &s, const Order &o, const std::string &order_id,
                  const Fill &f, long long at) {
    const bool filled = !*f.reject;
    json::Writer w(out);
    w.begin_object()
        .field("exec_id", order_id)
        .field("order_id", order_id)
        .field("cl_ord_id", o.cl_ord_id)
        .field("account_id", s.account_id)
        .field("symbol", o.symbol)
        .field("side", o.side)
        .field("exec_type", filled ? EXEC_TRADE : EXEC_REJECTED)
        .field("price", filled ? f.price : 0.0)
        .field("volume", filled ? o.volume : 0LL)
        .field("amount", filled ? f.amount : 0.0)
        .field("commission", filled ? f.commission : 0.0)
        .field("cash", s.cash)
        .field("ord_rej_reason_detail", f.reject)
        .field("created_at", time_text(at))
        .end_object();
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
        const std::string order_id = std::to_string(++s.orders);
        auto it = s.prices.find(o.symbol);
        Fill f;
        int status = STATUS_REJECTED;
        if (it == s.prices.end()) {
            f.reject = "no market price for the symbol yet";
        } else if (s.running) {
            /* decided on this event's prices, so it meets the next trade:
             * no look-ahead */
            s.pending.push_back(Pending{o, order_id, s.now});
            status = STATUS_NEW;
        } else {
            /* between runs there is no next trade: the last price */
            f = apply_order(s, o, it->second.last);
            if (!*f.reject) {
                status = STATUS_FILLED;
                execrpt_json(report, s, o, order_id, f, s.now);
            }
        }
        order_json(out, s, o, order_id, f, status);
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
        json::Writer w(out);
        w.begin_object().field("account_id", s.account_id).field("currency", "CNY");
        value_fields(w, s, "available").field("created_at", time_text(s.now)).end_object();
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

void fill_pending(State &s, const std::string &symbol, long long at, bool strictly_after,
                  double price, std::vector<std::string> &reports) {
    auto keep = s.pending.begin();
    for (auto it = s.pending.begin(); it != s.pending.end(); ++it) {
        if (it->order.symbol != symbol || it->placed_at > at ||
            (strictly_after && it->placed_at == at)) {
            if (keep != it) /* a string moved onto itself may end up empty */
                *keep = std::move(*it);
            ++keep;
            continue;
        }
        const Fill f = apply_order(s, it->order, price);
        reports.emplace_back();
        execrpt_json(reports.back(), s, it->order, it->order_id, f, at);
    }
    s.pending.erase(keep, s.pending.end());
}

void expire_pending(State &s, std::vector<std::string> &reports) {
    Fill none;
    none.reject = "the backtest ended before the order could fill";
    for (const Pending &p : s.pending) {
        reports.emplace_back();
        execrpt_json(reports.back(), s, p.order, p.order_id, none, s.now);
    }
    s.pending.clear();
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
