/*
 * stub.cpp - state of the stand-in: script table, call log, event queue,
 * and the vqstub_ control surface over them.
 */
#include <cstring>
#include <deque>
#include <map>
#include <cstdio>
#include <mutex>
#include <string>

#include "market.h"
#include "market_replay.h"
#include "state.h"

namespace vqstub {

const char *const kNames[FN_COUNT] = {
#define VQ_FN_NAME(name) #name,
    VQ_ALL_FUNCS(VQ_FN_NAME)
#undef VQ_FN_NAME
};

Script g_scripts[FN_COUNT];
std::atomic<EventCallback> g_callback{nullptr};
std::atomic<bool> g_stop{false};
/* off until a test asks: a long backtest must not keep every call */
std::atomic<bool> g_recording{false};

namespace {

struct Call {
    Fn id;
    Args args;
};

/* Library functions may be called from several threads at once: the
 * extension calls with the GIL held, but ctypes releases it around every
 * foreign call (the tests' own handle does so from threads), and any other
 * host may do the same.  So the log and the queue take a lock.
 * Scripts are only written by a test between calls and are read bare. */
std::mutex g_calls_mu;
std::deque<Call> g_calls; /* the newest g_call_cap calls */
size_t g_call_cap = VQSTUB_DEFAULT_CALL_CAP;
long long g_calls_dropped = 0;

struct Event {
    std::string type;
    bool type_null = false;
    std::string data;
    bool data_null = false;
    int len = 0;
    long long remaining = 0; /* deliveries left; popped when it reaches 0 */
    std::atomic<int> refs{1};
};

/* Shared ownership of an event.  Not std::shared_ptr: its typeinfo and
 * make_shared tag would be exported from the library. */
class EventRef {
  public:
    EventRef() = default;
    explicit EventRef(Event *e) : e_(e) {}
    EventRef(const EventRef &o) : e_(o.e_) {
        if (e_)
            e_->refs.fetch_add(1, std::memory_order_relaxed);
    }
    EventRef(EventRef &&o) noexcept : e_(o.e_) { o.e_ = nullptr; }
    EventRef &operator=(EventRef o) noexcept {
        std::swap(e_, o.e_);
        return *this;
    }
    ~EventRef() {
        if (e_ && e_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
            delete e_;
    }
    Event *operator->() const { return e_; }

  private:
    Event *e_ = nullptr;
};

std::mutex g_events_mu;
std::deque<EventRef> g_queue;
/* Deliveries left in g_queue.  Written under g_events_mu; read bare only to
 * skip the lock when there is nothing to deliver, as after most events of a
 * market run: an event queued by another thread meanwhile is delivered on
 * the next call, as if it had come a moment later. */
std::atomic<long long> g_pending{0};
long long g_delivered = 0;
long long g_dropped = 0;

int find_fn(const char *fn) {
    if (!fn)
        return -1;
    for (int i = 0; i < FN_COUNT; ++i)
        if (std::strcmp(kNames[i], fn) == 0)
            return i;
    return -1;
}

/* The script of library function fn, null for an unknown name.  A scripted
 * answer replaces the offline market's, so the market is switched off. */
Script *script_of(const char *fn) {
    const int id = find_fn(fn);
    if (id < 0)
        return nullptr;
    g_market_on.store(false);
    return &g_scripts[id];
}

/* caller holds g_calls_mu */
const Arg *arg_at(int i, int j) {
    if (i < 0 || static_cast<size_t>(i) >= g_calls.size())
        return nullptr;
    const Args &args = g_calls[static_cast<size_t>(i)].args;
    if (j < 0 || static_cast<size_t>(j) >= args.size())
        return nullptr;
    return &args[static_cast<size_t>(j)];
}

/* wrapped so the map's instantiation stays internal to this library */
struct ErrText {
    std::string text;
};

}  // namespace

void commit(Fn id, Args &&args) {
    std::lock_guard<std::mutex> lock(g_calls_mu);
    if (g_call_cap == 0) {
        ++g_calls_dropped;
        return;
    }
    if (g_calls.size() >= g_call_cap) {
        g_calls.pop_front();
        ++g_calls_dropped;
    }
    g_calls.push_back(Call{id, std::move(args)});
}

void set_callback(EventCallback cb) {
    g_callback.store(cb);
}
void request_stop() {
    g_stop.store(true);
}
void clear_stop() {
    g_stop.store(false);
}

void push_event(const char *msg_type, const char *data, int len) {
    vqstub_queue_event(msg_type, data, len, 1);
}

namespace {

void deliver_queued(bool honour_stop) {
    for (;;) {
        if (honour_stop && g_stop.load())
            return;
        if (g_pending.load(std::memory_order_relaxed) == 0)
            return;
        /* Own the event across the callback: the callback may deliver more
     * events, queue some, or reset the queue under us. */
        EventRef ev;
        EventCallback cb;
        {
            std::lock_guard<std::mutex> lock(g_events_mu);
            if (g_queue.empty())
                return;
            cb = g_callback.load();
            if (!cb) {
                /* nobody to deliver to: nothing can run in between, so the whole
         * repeat count goes at once */
                const long long n = g_queue.front()->remaining;
                g_dropped += n;
                g_pending -= n;
                g_queue.pop_front();
                continue;
            }
            ev = g_queue.front();
            if (--ev->remaining == 0)
                g_queue.pop_front();
            --g_pending;
            ++g_delivered;
        }
        cb(ev->type_null ? nullptr : ev->type.c_str(), ev->data_null ? nullptr : ev->data.data(),
           ev->len);
    }
}

}  // namespace

/* the queue's emptiness first, without the lock or the loop's set-up: a
 * market run asks after every event */
void deliver_events(bool honour_stop) {
    if (g_pending.load(std::memory_order_relaxed) != 0)
        deliver_queued(honour_stop);
}

std::vector<TakenEvent> take_events() {
    std::vector<TakenEvent> out;
    std::lock_guard<std::mutex> lock(g_events_mu);
    for (const EventRef &ev : g_queue)
        out.push_back(
            TakenEvent{ev->type, ev->type_null, ev->data, ev->data_null, ev->len, ev->remaining});
    g_queue.clear();
    g_pending = 0;
    return out;
}

const char *strerror_text(int errorno) {
    if (errorno == 0)
        return "success";
    /* texts are handed out as borrowed pointers, so each is kept for good */
    static std::mutex mu;
    static std::map<int, ErrText> texts;
    std::lock_guard<std::mutex> lock(mu);
    auto it = texts.find(errorno);
    if (it == texts.end()) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "error %d", errorno);
        it = texts.emplace(errorno, ErrText()).first;
        it->second.text.assign(buf);
    }
    return it->second.text.c_str();
}

}  // namespace vqstub

using namespace vqstub;

extern "C" {

void vqstub_reset(void) {
    {
        std::lock_guard<std::mutex> lock(g_calls_mu);
        std::deque<Call>().swap(g_calls);
        g_call_cap = VQSTUB_DEFAULT_CALL_CAP;
        g_calls_dropped = 0;
    }
    for (Script &s : g_scripts)
        s = Script();
    {
        std::lock_guard<std::mutex> lock(g_events_mu);
        g_queue.clear();
        g_pending = 0;
        g_delivered = g_dropped = 0;
    }
    g_recording.store(true);
    clear_stop();
    g_market_on.store(false);
    market::clear();
    replay::clear();
}

void vqstub_set_market(int on) {
    g_market_on.store(on != 0);
}

void vqstub_set_recording(int on) {
    g_recording.store(on != 0);
}

/* ---- bounded call log ---------------------------------------------------- */

void vqstub_set_call_cap(long long cap) {
    std::lock_guard<std::mutex> lock(g_calls_mu);
    g_call_cap = cap > 0 ? static_cast<size_t>(cap) : 0;
    while (g_calls.size() > g_call_cap) {
        g_calls.pop_front();
        ++g_calls_dropped;
    }
}

long long vqstub_call_cap(void) {
    std::lock_guard<std::mutex> lock(g_calls_mu);
    return static_cast<long long>(g_call_cap);
}

long long vqstub_calls_dropped(void) {
    std::lock_guard<std::mutex> lock(g_calls_mu);
    return g_calls_dropped;
}

int vqstub_call_count(void) {
    std::lock_guard<std::mutex> lock(g_calls_mu);
    return static_cast<int>(g_calls.size());
}

const char *vqstub_call_name(int i) {
    std::lock_guard<std::mutex> lock(g_calls_mu);
    if (i < 0 || static_cast<size_t>(i) >= g_calls.size())
        return nullptr;
    return kNames[g_calls[static_cast<size_t>(i)].id];
}

int vqstub_call_argc(int i) {
    std::lock_guard<std::mutex> lock(g_calls_mu);
    if (i < 0 || static_cast<size_t>(i) >= g_calls.size())
        return -1;
    return static_cast<int>(g_calls[static_cast<size_t>(i)].args.size());
}

int vqstub_arg_kind(int i, int j) {
    std::lock_guard<std::mutex> lock(g_calls_mu);
    const Arg *a = arg_at(i, j);
    return a ? a->kind : -1;
}

int vqstub_arg_bytes(int i, int j, const char **data) {
    std::lock_guard<std::mutex> lock(g_calls_mu);
    const Arg *a = arg_at(i, j);
    if (!a || (a->kind != VQSTUB_TEXT && a->kind != VQSTUB_BYTES)) {
        if (data)
            *data = nullptr;
        return -1;
    }
    if (data)
        *data = a->bytes.data();
    return static_cast<int>(a->bytes.size());
}

long long vqstub_arg_int(int i, int j) {
    std::lock_guard<std::mutex> lock(g_calls_mu);
    const Arg *a = arg_at(i, j);
    return a && (a->kind == VQSTUB_INT || a->kind == VQSTUB_BOOL) ? a->i : 0;
}

double vqstub_arg_double(int i, int j) {
    std::lock_guard<std::mutex> lock(g_calls_mu);
    const Arg *a = arg_at(i, j);
    return a && a->kind == VQSTUB_DOUBLE ? a->d : 0.0;
}

int vqstub_script_int(const char *fn, long long value) {
    Script *script = script_of(fn);
    if (!script)
        return -1;
    Script &s = *script;
    s.value = value;
    s.status = static_cast<int>(value);
    s.has_value = true;
    return 0;
}

int vqstub_script_double(const char *fn, double value) {
    Script *script = script_of(fn);
    if (!script)
        return -1;
    Script &s = *script;
    s.dvalue = value;
    s.has_dvalue = true;
    return 0;
}

int vqstub_script_text(const char *fn, const char *text) {
    Script *script = script_of(fn);
    if (!script)
        return -1;
    Script &s = *script;
    s.has_text = true;
    if (text) {
        s.text_buf.assign(text);
        s.text = s.text_buf.c_str();
    } else {
        s.text_buf.clear();
        s.text = nullptr;
    }
    return 0;
}

int vqstub_script_response(const char *fn, const char *data, int len) {
    Script *script = script_of(fn);
    if (!script)
        return -1;
    Script &s = *script;
    if (data) {
        s.resp_buf.assign(data, len > 0 ? static_cast<size_t>(len) : 0);
        s.resp = s.resp_buf.data();
    } else {
        s.resp_buf.clear();
        s.resp = nullptr;
    }
    s.resp_len = len;
    return 0;
}

void vqstub_queue_event(const char *msg_type, const void *data, int len, long long count) {
    if (count <= 0)
        return;
    EventRef ev(new Event);
    ev->type_null = msg_type == nullptr;
    if (msg_type)
        ev->type = msg_type;
    ev->data_null = data == nullptr;
    if (data && len > 0)
        ev->data.assign(static_cast<const char *>(data), static_cast<size_t>(len));
    ev->len = len;
    ev->remaining = count;
    std::lock_guard<std::mutex> lock(g_events_mu);
    g_queue.push_back(std::move(ev));
    g_pending += count;
}

long long vqstub_pending_events(void) {
    std::lock_guard<std::mutex> lock(g_events_mu);
    return g_pending;
}

long long vqstub_events_delivered(void) {
    std::lock_guard<std::mutex> lock(g_events_mu);
    return g_delivered;
}

long long vqstub_events_dropped(void) {
    std::lock_guard<std::mutex> lock(g_events_mu);
    return g_dropped;
}

}  // extern "C"
