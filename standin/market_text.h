/*
 * market_text.h - the text of bar and tick payloads, written straight into
 * one buffer that a run reuses for every event: no allocation once it has
 * grown, no printf.  The bytes are those of json::Writer (shortest numbers
 * that read back the same, no exponent in the usual range).
 */
#ifndef VQ_STANDIN_MARKET_TEXT_H
#define VQ_STANDIN_MARKET_TEXT_H

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "market_calendar.h"

namespace vqstub {
namespace market {

/* Writes "YYYY-MM-DD HH:MM:SS" (19 characters, more for years past 9999)
 * and returns the end. */
char *write_time(char *p, long long t);

/* a growable byte buffer; its capacity is kept between payloads */
class Text {
  public:
    const char *data() const { return buf_.get(); }
    size_t size() const { return static_cast<size_t>(end_ - buf_.get()); }
    void clear() { end_ = buf_.get(); }
    /* room for n more bytes; pointers into the buffer become invalid */
    void reserve(size_t n) {
        if (buf_ && static_cast<size_t>(cap_ - end_) >= n)
            return;
        const size_t used = size(), want = std::max<size_t>(2 * (used + n), 512);
        std::unique_ptr<char[]> grown(new char[want]);
        if (used)
            std::memcpy(grown.get(), buf_.get(), used);
        buf_ = std::move(grown);
        end_ = buf_.get() + used;
        cap_ = buf_.get() + want;
    }
    /* the writing position; advance with commit() */
    char *at() { return end_; }
    void commit(char *p) { end_ = p; }
    /* the text written so far, to rewrite in place; keep(n) drops all but
     * its first n bytes */
    char *begin() { return buf_.get(); }
    void keep(size_t n) { end_ = buf_.get() + n; }

    /* write_time, with the date's text kept from the last call: events
     * come day by day */
    char *time(char *p, long long t) {
        const long long day = floor_div(t, kDay);
        if (day != day_ || !date_n_) {
            date_n_ = static_cast<size_t>(write_time(date_, day * kDay) - date_) - 9;
            day_ = day; /* less " 00:00:00" */
        }
        std::memcpy(p, date_, date_n_);
        p += date_n_;
        const unsigned sec = static_cast<unsigned>(t - day * kDay), h = sec / 3600,
                       m = sec / 60 % 60, s = sec % 60;
        const char clock[9] = {
            ' ', static_cast<char>('0' + h / 10), static_cast<char>('0' + h % 10),
            ':', static_cast<char>('0' + m / 10), static_cast<char>('0' + m % 10),
            ':', static_cast<char>('0' + s / 10), static_cast<char>('0' + s % 10)};
        std::memcpy(p, clock, 9);
        return p + 9;
    }

  private:
    std::unique_ptr<char[]> buf_;
    char *end_ = nullptr, *cap_ = nullptr;
    long long day_ = 0;
    size_t date_n_ = 0;
    char date_[64];
};

/* JSON string literal of s, quotes included, as json::Writer writes it */
std::string quoted(const std::string &s);

namespace text {

template <size_t N>
inline char *lit(char *p, const char (&s)[N]) {
    std::memcpy(p, s, N - 1);
    return p + N - 1;
}

inline char *str(char *p, const std::string &s) {
    std::memcpy(p, s.data(), s.size());
    return p + s.size();
}

/* the two digits of 0 to 99 */
inline constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324"
    "25262728293031323334353637383940414243444546474849"
    "50515253545556575859606162636465666768697071727374"
    "75767778798081828384858687888990919293949596979899";

/* 0, then the powers of ten from 10 to 10**19 */
struct Powers10 {
    unsigned long long v[20] = {};
    constexpr Powers10() {
        unsigned long long x = 1;
        for (int i = 1; i < 20; ++i)
            v[i] = x *= 10;
    }
};
inline constexpr Powers10 kPow10{};

/* the digits of u: t from the length of its bits (1233 / 4096 is log10(2)
 * to four places) is its digits or one more */
inline int digit_count(unsigned long long u) {
    const int t = ((64 - __builtin_clzll(u | 1)) * 1233) >> 12;
    return t + 1 - (u < kPow10.v[t]);
}

/* Two digits at a time from the end, straight into place once the length
 * is known; 32-bit arithmetic while it fits. */
template <typename U>
inline void pairs_backwards(char *end, U u) {
    while (u >= 100) {
        const U rest = u / 100;
        end -= 2;
        std::memcpy(end, kPairs + 2 * (u - 100 * rest), 2);
        u = rest;
    }
    if (u >= 10)
        std::memcpy(end - 2, kPairs + 2 * u, 2);
    else
        end[-1] = static_cast<char>('0' + u);
}

/* the digits of v, with its sign */
inline char *integer(char *p, long long v) {
    unsigned long long u = static_cast<unsigned long long>(v);
    if (v < 0) {
        *p++ = '-';
        u = 0ULL - u;
    }
    p += digit_count(u);
    if (u <= 0xFFFFFFFFULL)
        pairs_backwards(p, static_cast<unsigned>(u));
    else
        pairs_backwards(p, u);
    return p;
}

/* Most values of a payload are whole cents: then the shortest text that
 * reads back as v is the cents with the point put in and trailing zeros
 * dropped (below 1e13 two such decimals are further apart than two
 * doubles).  Anything else goes to std::to_chars as json::Writer does. */
inline char *number(char *p, double v) {
    if (v == 0)
        return lit(p, "0");
    const double a = std::fabs(v);
    if (a < 1e13) {
        const long long c = static_cast<long long>(a * 100 + 0.5);
        if (c > 0 && static_cast<double>(c) / 100 == a) {
            if (v < 0)
                *p++ = '-';
            p = integer(p, c / 100);
            const int f = static_cast<int>(c % 100);
            if (f) {
                *p++ = '.';
                *p++ = static_cast<char>('0' + f / 10);
                if (f % 10)
                    *p++ = static_cast<char>('0' + f % 10);
            }
            return p;
        }
    }
    if (!std::isfinite(v))
        return lit(p, "null");
    const auto fmt =
        a == 0 || (a >= 1e-6 && a < 1e15) ? std::chars_format::fixed : std::chars_format::general;
    return std::to_chars(p, p + 64, v == 0 ? 0.0 : v, fmt).ptr;
}

/* number() and integer() behind a call, for the rare paths of the writers
 * below, so that their common one stays small enough to inline */
[[gnu::noinline]] inline char *number_call(char *p, double v) {
    return number(p, v);
}
[[gnu::noinline]] inline char *integer_call(char *p, long long v) {
    return integer(p, v);
}

/* The text of a price's parts as number() writes them: a whole part
 * below 100, and the cents after it (nothing, ".d" or ".dd"), each stored
 * with a few spare bytes so that it goes out in one copy. */
struct CentsDigits {
    char whole[100][2] = {};
    unsigned char whole_len[100] = {};
    char cents[100][4] = {};
    unsigned char cents_len[100] = {};
    constexpr CentsDigits() {
        for (int i = 0; i < 100; ++i) {
            const char tens = static_cast<char>('0' + i / 10),
                       ones = static_cast<char>('0' + i % 10);
            whole[i][0] = i < 10 ? ones : tens;
            whole[i][1] = ones;
            whole_len[i] = i < 10 ? 1 : 2;
            cents[i][0] = '.';
            cents[i][1] = tens;
            cents[i][2] = ones;
            cents_len[i] = i == 0 ? 0 : i % 10 == 0 ? 2 : 3;
        }
    }
};
inline constexpr CentsDigits kCentsDigits{};

/* number() of c / 100, for a whole number of cents c from 1 to 9999999
 * that reads back as the double written.  Up to three bytes past the end
 * returned are written over: the output has kNumber bytes of room. */
inline char *cents_text(char *p, unsigned c) {
    const unsigned whole = c / 100, f = c - 100 * whole;
    if (__builtin_expect(whole < 100, 1)) {
        std::memcpy(p, kCentsDigits.whole[whole], 2);
        p += kCentsDigits.whole_len[whole];
    } else {
        p = integer_call(p, whole);
    }
    std::memcpy(p, kCentsDigits.cents[f], 4);
    return p + kCentsDigits.cents_len[f];
}

/* number() of a price: the same bytes, with less arithmetic when v is a
 * whole number of cents from 0.01 to 99999.99 (c is then the same as in
 * number(), and so is the check that it reads back as v). */
inline char *price(char *p, double v) {
    const double t = v * 100 + 0.5;
    if (t >= 1 && t < 1e7) {
        const unsigned c = static_cast<unsigned>(t);
        if (static_cast<double>(c) / 100 == v)
            return cents_text(p, c);
    }
    return number_call(p, v);
}

/* price() of a price made by rounding to the cent (market_prices.cpp's
 * cents()): v is c / 100 rounded for a whole c, so below 1e7 cents
 * v * 100 is within a hundred millionth of c, and c comes back without the
 * check. */
inline char *cents_price(char *p, double v) {
    const double t = v * 100 + 0.5;
    if (t >= 1 && t < 1e7)
        return cents_text(p, static_cast<unsigned>(t));
    return number_call(p, v);
}

/* number() of an amount, most often whole: a whole v from 1 to 1e13 is
 * written as number() writes it (100 * v is then exact, and so c), by
 * integer() alone. */
inline char *amount(char *p, double v) {
    if (v >= 1 && v < 1e13) {
        const long long i = static_cast<long long>(v);
        if (static_cast<double>(i) == v)
            return integer(p, i);
    }
    return number_call(p, v);
}

/* room enough for a number written by number() or integer() */
constexpr size_t kNumber = 64;

}  // namespace text
}  // namespace market
}  // namespace vqstub

#endif /* VQ_STANDIN_MARKET_TEXT_H */
