/*
 * vqstub.h - control surface of the stand-in libvq3-c.so.
 *
 * Tests drive the stand-in through these functions (usually via ctypes):
 * they script what each library function returns, queue events for
 * vqi_run/vqi_poll to deliver, and read back every call the library saw.
 */
#ifndef VQ_STANDIN_VQSTUB_H
#define VQ_STANDIN_VQSTUB_H

#if defined(__GNUC__)
#    define VQSTUB_API __attribute__((visibility("default")))
#else
#    define VQSTUB_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* kinds of a recorded argument */
enum {
    VQSTUB_NULL = 0,  /* null text or request pointer */
    VQSTUB_TEXT = 1,  /* NUL-terminated text */
    VQSTUB_BYTES = 2, /* request bytes; its int length is the next argument */
    VQSTUB_INT = 3,   /* int, and the callback address */
    VQSTUB_DOUBLE = 4,
    VQSTUB_BOOL = 5
};

/* Forget calls, scripts, queued events and counters; recording on with
 * the default cap, stop flag cleared, offline market cleared and switched
 * off.  The registered event callback is kept. */
VQSTUB_API void vqstub_reset(void);
/* Recording of calls: off in a fresh process, so that a long backtest runs
 * in flat memory; on after vqstub_reset. */
VQSTUB_API void vqstub_set_recording(int on);

/* The call log is bounded: it keeps the newest `cap` calls and drops the
 * oldest, counting them.  vqstub_reset restores the default cap and zeroes
 * the count; a cap <= 0 keeps no call. */
#define VQSTUB_DEFAULT_CALL_CAP 100000
VQSTUB_API void vqstub_set_call_cap(long long cap);
VQSTUB_API long long vqstub_call_cap(void);
VQSTUB_API long long vqstub_calls_dropped(void);

/* The offline market (MARKET.md): on in a fresh process, off after
 * vqstub_reset or any vqstub_script_* call.  Switching it on keeps what it
 * was configured with. */
VQSTUB_API void vqstub_set_market(int on);

/* Recorded calls, oldest kept first.  Out-of-range indexes give NULL, -1
 * or 0.  Pointers stay valid until the next vqstub_reset or until their
 * call is dropped from the log. */
VQSTUB_API int vqstub_call_count(void);
VQSTUB_API const char *vqstub_call_name(int i);
VQSTUB_API int vqstub_call_argc(int i);
VQSTUB_API int vqstub_arg_kind(int i, int j);
VQSTUB_API int vqstub_arg_bytes(int i, int j, const char **data);
VQSTUB_API long long vqstub_arg_int(int i, int j);
VQSTUB_API double vqstub_arg_double(int i, int j);

/* Scripted results stick to the function until vqstub_reset.
 * Each returns 0, or -1 when fn names no library function; a script taken
 * switches the offline market off. */
VQSTUB_API int vqstub_script_int(const char *fn, long long value);
VQSTUB_API int vqstub_script_double(const char *fn, double value);
VQSTUB_API int vqstub_script_text(const char *fn, const char *text);
VQSTUB_API int vqstub_script_response(const char *fn, const char *data, int len);

/* Queue one event to be delivered count times.  Both buffers are copied;
 * a NULL msg_type or data is delivered as NULL (data with len as given). */
VQSTUB_API void vqstub_queue_event(const char *msg_type, const void *data, int len,
                                   long long count);
VQSTUB_API long long vqstub_pending_events(void);
VQSTUB_API long long vqstub_events_delivered(void);
VQSTUB_API long long vqstub_events_dropped(void);

/* A delivery thread of the library's own, as a library may have: the
 * events queued so far leave the queue at once (vqi_run/vqi_poll no longer
 * see them) and a new thread delivers them, in order and each as often as
 * queued, to the callback registered at the time, whether or not a call
 * into the library is in progress.  Returns 0, or -1 while an earlier
 * thread has not been joined. */
VQSTUB_API int vqstub_thread_start(void);
/* Waits for that thread to end and returns how many events it delivered
 * (0 when there is none).  The caller must not hold what the callback needs
 * to run: from Python, call it through ctypes.CDLL, which lets go of the
 * interpreter lock for the call. */
VQSTUB_API long long vqstub_thread_join(void);
/* Events that thread has delivered so far, without waiting: a callback
 * counts once it has returned. */
VQSTUB_API long long vqstub_thread_delivered(void);
/* Registers, once, a handler that runs when the process exits (after the
 * interpreter has finalized): it delivers from a new thread of the
 * library's own the events taken here (all queued so far when
 * deliver_queued is nonzero; added to those of earlier calls), waits for
 * that thread, then sleeps sleep_ms milliseconds, as a slow exit handler
 * would.  Returns 0, or -1 when the handler cannot be registered. */
VQSTUB_API int vqstub_exit_handler(int deliver_queued, int sleep_ms);

/* ---- market replay ------------------------------------------------------ */

/* Serve the n rows given for (symbol, frequency) instead of the random walk
 * (MARKET.md, "Replay").  Times are naive seconds since 1970-01-01 and
 * strictly increase by eob.  A bar row is bob, eob, open, high, low, close,
 * volume, amount; a "tick" row is a trade at eob: close is its price,
 * volume and amount its size (bob, open, high and low are not read).  The
 * rows are copied and replace any earlier ones for the pair, from the next
 * run on.  n == 0 forgets the pair, and a NULL symbol forgets every pair.
 * Returns 0, or -1 when the symbol is empty, the frequency is not one the
 * market makes, n < 0, an array is NULL or the times do not increase. */
VQSTUB_API int vqstub_market_feed(const char *symbol, const char *frequency, int n,
                                  const long long *bob, const long long *eob, const double *open,
                                  const double *high, const double *low, const double *close,
                                  const long long *volume, const double *amount);

/* Read CSV files of bars or ticks (one frequency) straight into columns the
 * market can serve, for vq.csdk.testing.replay: paths[i] with
 * fixed_symbols[i] as the symbol of its rows when it has no symbol column
 * (NULL when there is none); when nallowed >= 0, only the symbols listed in
 * allowed may occur.  Returns a handle, or NULL when any file holds
 * anything but plain data, a fault included: the kit's careful reader then
 * reads them again and names the fault.  Nothing is fed to the market. */
VQSTUB_API void *vqstub_csv_load(int files, const char *const *paths,
                                 const char *const *fixed_symbols, const char *frequency,
                                 int nallowed, const char *const *allowed);
/* How many series the handle holds, in the order of their first rows. */
VQSTUB_API int vqstub_csv_count(void *loaded);
/* Series i: its rows (the return), symbol, the index of the file of its
 * first row, and the addresses of its columns bob, eob, open, high, low,
 * close, volume and amount (long long or double as for vqstub_market_feed;
 * a tick series has no bob, open, high or low: NULL).  -1 when i is out of
 * range.  The addresses hold until vqstub_csv_free. */
VQSTUB_API long long vqstub_csv_series(void *loaded, int i, const char **symbol, int *file,
                                       const void **columns);
/* Feed series i as vqstub_market_feed would, under the symbol and frequency
 * given, sharing its columns rather than copying them (they stay alive as
 * long as either the handle or the market needs them). */
VQSTUB_API int vqstub_market_feed_loaded(void *loaded, int i, const char *symbol,
                                         const char *frequency);
VQSTUB_API void vqstub_csv_free(void *loaded);

#ifdef __cplusplus
}
#endif

#endif /* VQ_STANDIN_VQSTUB_H */
