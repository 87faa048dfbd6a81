/*
 * state.h - internals shared by the library functions (vqi.cpp) and the
 * control surface (stub.cpp).  Nothing here is exported.
 */
#ifndef VQ_STANDIN_STATE_H
#define VQ_STANDIN_STATE_H

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "vqcsdk.h"
#include "vqfuncs.h"
#include "vqstub.h"

namespace vqstub {

/* One slot per library function, fixed at compile time. */
enum Fn : int {
#define VQ_FN_ENUM(name) FN_##name,
    VQ_ALL_FUNCS(VQ_FN_ENUM)
#undef VQ_FN_ENUM
        FN_COUNT
};

extern const char *const kNames[FN_COUNT];

/* What a function returns.  Everything the hot path reads is precomputed
 * here so a call is a couple of loads. */
struct Script {
    int status = 0; /* int results; low bits of value */
    long long value = 0;
    bool has_value = false; /* vqi_now: scripted rather than the clock */
    double dvalue = 0;
    bool has_dvalue = false;    /* vqi_now_plus likewise */
    bool has_text = false;      /* false: the function's own default text */
    const char *text = nullptr; /* into text_buf, or null when scripted NULL */
    std::string text_buf;
    const char *resp = ""; /* into resp_buf, or null when scripted NULL */
    int resp_len = 0;
    std::string resp_buf;
};

extern Script g_scripts[FN_COUNT];
extern std::atomic<bool> g_recording;

/* ---- call recording ------------------------------------------------------ */

struct Arg {
    int kind = VQSTUB_NULL;
    long long i = 0;
    double d = 0;
    std::string bytes;
};
using Args = std::vector<Arg>;

/* A request: pointer and length, recorded as two arguments. */
struct Req {
    const char *p;
    int len;
};

inline void put_integer(Args &a, int kind, long long v) {
    Arg x;
    x.kind = kind;
    x.i = v;
    a.push_back(std::move(x));
}

inline void put(Args &a, const char *s) {
    Arg x;
    if (s) {
        x.kind = VQSTUB_TEXT;
        x.bytes = s;
    }
    a.push_back(std::move(x));
}

inline void put(Args &a, Req r) {
    Arg x;
    if (r.p) {
        x.kind = VQSTUB_BYTES;
        if (r.len > 0)
            x.bytes.assign(r.p, static_cast<size_t>(r.len));
    }
    a.push_back(std::move(x));
    put_integer(a, VQSTUB_INT, r.len);
}

inline void put(Args &a, int v) {
    put_integer(a, VQSTUB_INT, v);
}
inline void put(Args &a, bool v) {
    put_integer(a, VQSTUB_BOOL, v);
}

inline void put(Args &a, double v) {
    Arg x;
    x.kind = VQSTUB_DOUBLE;
    x.d = v;
    a.push_back(std::move(x));
}

/* the callback is recorded by address so tests can tell which one was set */
inline void put(Args &a, EventCallback cb) {
    put_integer(a, VQSTUB_INT, static_cast<long long>(reinterpret_cast<intptr_t>(cb)));
}

void commit(Fn id, Args &&args);

/* Kept out of line so the recording-off path stays a load and a branch. */
template <class... A>
[[gnu::noinline]] void record_slow(Fn id, A... a) {
    Args args;
    args.reserve(2 * sizeof...(A));
    (put(args, a), ...);
    commit(id, std::move(args));
}

template <class... A>
inline void record(Fn id, A... a) {
    if (g_recording.load(std::memory_order_relaxed))
        record_slow(id, a...);
}

/* ---- events and run control ---------------------------------------------- */

/* read inline: a market run asks after every event */
extern std::atomic<EventCallback> g_callback;
extern std::atomic<bool> g_stop;

void set_callback(EventCallback cb);
inline EventCallback current_callback() {
    return g_callback.load();
}
void request_stop();
void clear_stop();
inline bool stop_requested() {
    return g_stop.load();
}
/* queue one event, as vqstub_queue_event with a count of 1 */
void push_event(const char *msg_type, const char *data, int len);
/* Deliver queued events until the queue is empty, or, when honour_stop,
 * until vqi_stop is called. */
void deliver_events(bool honour_stop);

/* An event taken out of the queue, to be delivered `count` times. */
struct TakenEvent {
    std::string type;
    bool type_null;
    std::string data;
    bool data_null;
    int len;
    long long count;
};
/* Takes every queued event out of the queue at once; they stop counting as
 * pending, and vqi_run/vqi_poll no longer see them. */
std::vector<TakenEvent> take_events();

/* default text of vqi_strerror; the pointer stays valid for good */
const char *strerror_text(int errorno);

}  // namespace vqstub

#endif /* VQ_STANDIN_STATE_H */
