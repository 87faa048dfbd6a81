/*
 * event_thread.cpp - a delivery thread of the library's own.
 *
 * A real library may call the event callback from a thread it started
 * itself, outside any call made into it.  vqstub_thread_start plays that
 * part: it takes the queued events and hands them to a new thread, which
 * delivers them and ends.
 */
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "state.h"

namespace vqstub {

namespace {

std::mutex g_thread_mu;
/* Never destroyed: a thread still running when the process exits must not
 * end it through std::thread's destructor. */
std::thread *g_thread = nullptr;
std::atomic<long long> g_thread_delivered{0};

void deliver_taken(std::vector<TakenEvent> events) {
    for (const TakenEvent &ev : events) {
        for (long long i = 0; i < ev.count; ++i) {
            EventCallback cb = current_callback();
            if (!cb)
                continue;
            cb(ev.type_null ? nullptr : ev.type.c_str(), ev.data_null ? nullptr : ev.data.data(),
               ev.len);
            g_thread_delivered.fetch_add(1);
        }
    }
}

/* What the exit handler does: deliver these events from a new thread and
 * wait for it, then sleep, as a slow exit handler of the process would. */
std::mutex g_exit_mu;
std::vector<TakenEvent> *g_exit_events = nullptr; /* never destroyed, like g_thread */
int g_exit_sleep_ms = 0;

void at_exit() {
    std::vector<TakenEvent> events;
    int sleep_ms;
    {
        std::lock_guard<std::mutex> lock(g_exit_mu);
        events.swap(*g_exit_events);
        sleep_ms = g_exit_sleep_ms;
    }
    if (!events.empty())
        std::thread(deliver_taken, std::move(events)).join();
    std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
}

}  // namespace

}  // namespace vqstub

using namespace vqstub;

extern "C" {

int vqstub_thread_start(void) {
    std::lock_guard<std::mutex> lock(g_thread_mu);
    if (g_thread != nullptr)
        return -1;
    g_thread_delivered.store(0);
    /* taken here, on the caller's thread, so what the thread delivers does
     * not depend on when it starts to run */
    g_thread = new std::thread(deliver_taken, take_events());
    return 0;
}

long long vqstub_thread_join(void) {
    std::thread *t;
    {
        std::lock_guard<std::mutex> lock(g_thread_mu);
        t = g_thread;
    }
    if (t != nullptr) {
        t->join(); /* outside the lock: the callback may call vqstub_thread_delivered */
        std::lock_guard<std::mutex> lock(g_thread_mu);
        delete t;
        g_thread = nullptr;
    }
    return g_thread_delivered.load();
}

long long vqstub_thread_delivered(void) {
    return g_thread_delivered.load();
}

int vqstub_exit_handler(int deliver_queued, int sleep_ms) {
    std::lock_guard<std::mutex> lock(g_exit_mu);
    if (g_exit_events == nullptr) {
        g_exit_events = new std::vector<TakenEvent>();
        if (std::atexit(at_exit) != 0)
            return -1;
    }
    if (deliver_queued) {
        std::vector<TakenEvent> taken = take_events();
        g_exit_events->insert(g_exit_events->end(), taken.begin(), taken.end());
    }
    g_exit_sleep_ms = sleep_ms < 0 ? 0 : sleep_ms;
    return 0;
}

}  // extern "C"
