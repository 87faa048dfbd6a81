/*
 * market_calendar.cpp - dates and times of the market: civil dates from
 * day numbers and back, the text of a time both ways, and the holidays.
 */
#include "market_calendar.h"

#include "market_text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vqstub {
namespace market {
namespace {

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

char *two(char *p, unsigned v) {
    p[0] = static_cast<char>('0' + v / 10);
    p[1] = static_cast<char>('0' + v % 10);
    return p + 2;
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

}  // namespace

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

int bar_seconds(const char *f) {
    if (!f)
        return -1;
    if (std::strcmp(f, "tick") == 0)
        return 0;
    if (std::strcmp(f, "1d") == 0 || std::strcmp(f, "86400s") == 0)
        return static_cast<int>(kDay);
    const char *p = f;
    long n = 0;
    while (*p >= '0' && *p <= '9' && n <= 100000)
        n = n * 10 + (*p++ - '0');
    if (p == f || std::strcmp(p, "s") != 0 || n <= 0 || n > 2 * kHalf || n % kStep)
        return -1;
    return static_cast<int>(n);
}

char *write_time(char *p, long long t) {
    const long long day = floor_div(t, kDay);
    const unsigned sec = static_cast<unsigned>(t - day * kDay);
    long long y;
    unsigned m, d;
    civil_from_days(day, &y, &m, &d);
    if (y < 0 || y > 9999) { /* as printf's %04lld writes them */
        char buf[64];
        format_time(t, buf);
        const size_t n = std::strlen(buf);
        std::memcpy(p, buf, n);
        return p + n;
    }
    p = two(two(p, static_cast<unsigned>(y / 100)), static_cast<unsigned>(y % 100));
    *p++ = '-';
    p = two(p, m);
    *p++ = '-';
    p = two(p, d);
    *p++ = ' ';
    p = two(p, sec / 3600);
    *p++ = ':';
    p = two(p, sec / 60 % 60);
    *p++ = ':';
    return two(p, sec % 60);
}

std::string time_text(long long t) {
    char buf[64];
    return std::string(buf, write_time(buf, t));
}

bool Holidays::has(long long day) const {
    if (custom)
        return std::binary_search(days.begin(), days.end(), day);
    long long y;
    unsigned m, d;
    civil_from_days(day, &y, &m, &d);
    return (m == 1 && d == 1) || (m == 5 && d <= 3) || (m == 10 && d <= 7);
}

bool load_holidays(Holidays *out) {
    *out = Holidays();
    const char *env = std::getenv("VQ_STANDIN_HOLIDAYS");
    if (!env)
        return true;
    out->custom = true;
    std::string item;
    for (const char *p = env;; ++p) {
        if (*p && *p != ',' && *p != ' ' && *p != '\t' && *p != '\n') {
            item += *p;
            continue;
        }
        if (!item.empty()) {
            long long t;
            if (item.size() != 10 || !parse_time(item.c_str(), false, &t))
                return false;
            out->days.push_back(floor_div(t, kDay));
            item.clear();
        }
        if (!*p)
            break;
    }
    std::sort(out->days.begin(), out->days.end());
    return true;
}

}  // namespace market
}  // namespace vqstub
