/*
 * market_calendar.h - the market's session and clock.  The session is
 * 09:30-11:30 and 13:00-15:00 on weekdays that are not holidays.  Times are naive
 * market-local seconds since 1970-01-01.
 */
#ifndef VQ_STANDIN_MARKET_CALENDAR_H
#define VQ_STANDIN_MARKET_CALENDAR_H

#include <string>
#include <vector>

namespace vqstub {
namespace market {

constexpr int kStep = 3;    /* seconds per simulated trade */
constexpr int kHalf = 7200; /* seconds in each half session */
constexpr int kHalfSteps = kHalf / kStep;
constexpr int kStepsPerDay = 2 * kHalfSteps;
constexpr long long kMorning = 9 * 3600 + 30 * 60;
constexpr long long kAfternoon = 13 * 3600;
constexpr long long kDay = 86400;

inline long long floor_div(long long a, long long b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

/* whether a day (days since 1970-01-01) is a weekday */
inline bool weekday(long long day) {
    const long long w = ((day % 7) + 7 + 4) % 7; /* 1970-01-01 was a Thursday: 0 = Sunday */
    return w != 0 && w != 6;
}

/* The holidays: the list given in VQ_STANDIN_HOLIDAYS, or the default one
 * (1 January, 1-3 May, 1-7 October of every year). */
struct Holidays {
    bool custom = false;
    std::vector<long long> days; /* sorted, when custom */

    bool has(long long day) const;
};

/* The holidays in force: the environment's list when VQ_STANDIN_HOLIDAYS is
 * set (dates YYYY-MM-DD separated by commas or blanks; empty for none),
 * else the default.  False when a date of the list is not understood. */
bool load_holidays(Holidays *out);

/* a weekday that is not a holiday */
inline bool trading_day(long long day, const Holidays &h) {
    return weekday(day) && !h.has(day);
}

/* clock time of a session offset; the end of the morning is 11:30:00 */
inline long long clock_of(int offset, bool is_end) {
    if (offset < kHalf || (offset == kHalf && is_end))
        return kMorning + offset;
    return kAfternoon + (offset - kHalf);
}

/* "YYYY-MM-DD", then optionally " HH:MM" or " HH:MM:SS" (' ' or 'T').
 * A bare date means its first second, or its last when is_end. */
bool parse_time(const char *s, bool is_end, long long *out);

/* The seconds of one bar of a frequency as subscriptions and replays take
 * it: 0 for "tick", kDay for "1d" or "86400s", N for "<N>s" with N a
 * multiple of kStep up to a half session; -1 for anything else. */
int bar_seconds(const char *frequency);

/* "YYYY-MM-DD HH:MM:SS" */
std::string time_text(long long t);

}  // namespace market
}  // namespace vqstub

#endif /* VQ_STANDIN_MARKET_CALENDAR_H */
