/*
 * market_replay_csv.cpp - the kit's reader for CSV files of bars or ticks as
 * they usually come, straight into the market's columns.
 *
 * It takes only what it can read exactly as the kit's careful reader in
 * vq/csdk/testing/replay.py would: ASCII times in the market's forms,
 * plain decimal numbers, fields quoted whole or not at all, no blank
 * fields where a value is needed.  Anything else, a fault included, makes it give up (NULL), and
 * the careful reader reads the files again and names the fault.  So this
 * file holds no error message, and what it loads is what the careful
 * reader would have loaded, to the bit.
 */
#include <fcntl.h>
#ifdef __GLIBC__
#    include <malloc.h>
#endif
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "market_calendar.h"
#include "market_replay.h"
#include "vqstub.h"

namespace vqstub {
namespace replay {
namespace {

constexpr double kMaxVolume = 9007199254740992.0; /* 2**53 */

enum Col { BOB, EOB, OPEN, HIGH, LOW, CLOSE, VOLUME, AMOUNT, CREATED_AT, PRICE, SYMBOL, kCols };
const char *const kNames[kCols] = {"bob",    "eob",    "open",       "high",  "low",   "close",
                                   "volume", "amount", "created_at", "price", "symbol"};

struct Series {
    std::string symbol;
    int file = 0; /* where its first row was */
    std::shared_ptr<Columns> data = std::make_shared<Columns>();
};

/* Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
 * days_from_civil). */
long long days_from_civil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

bool digits(const char *p, int n, unsigned *out) {
    unsigned v = 0;
    for (int i = 0; i < n; ++i) {
        const unsigned d = static_cast<unsigned char>(p[i]) - '0';
        if (d > 9)
            return false;
        v = v * 10 + d;
    }
    *out = v;
    return true;
}

/* "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS" (T for the
 * space), a valid date and clock; a bare date is its last second as an
 * end.  Blanks and other forms are left to the careful reader. */
bool parse_time(const char *p, size_t n, bool is_end, long long *out) {
    unsigned y, mo, d, h = 0, mi = 0, s = 0;
    if ((n != 10 && n != 16 && n != 19) || p[4] != '-' || p[7] != '-' || !digits(p, 4, &y) ||
        !digits(p + 5, 2, &mo) || !digits(p + 8, 2, &d))
        return false;
    if (n > 10 && ((p[10] != ' ' && p[10] != 'T') || p[13] != ':' || !digits(p + 11, 2, &h) ||
                   !digits(p + 14, 2, &mi)))
        return false;
    if (n == 19 && (p[16] != ':' || !digits(p + 17, 2, &s)))
        return false;
    static const unsigned kMonthDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || mo < 1 || mo > 12 || d < 1 || d > kMonthDays[mo - 1] || h > 23 || mi > 59 ||
        s > 59)
        return false;
    if (mo == 2 && d == 29 && !(y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)))
        return false;
    long long t = days_from_civil(y, mo, d) * market::kDay + h * 3600 + mi * 60 + s;
    if (n == 10 && is_end)
        t += market::kDay - 1;
    *out = t;
    return true;
}

/* A finite decimal number as float() reads it: [+-]digits[.digits][e[+-]digits],
 * correctly rounded both here and there. */
bool parse_number(const char *p, size_t n, double *out) {
    const char *b = p, *e = p + n;
    if (b < e && *b == '+')
        ++b;
    const char *q = b < e && *b == '-' ? b + 1 : b;
    if (q == e || !((*q >= '0' && *q <= '9') || *q == '.'))
        return false; /* inf, nan, blanks, underscores, hex: the careful reader */
    const auto r = std::from_chars(b, e, *out, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == e && std::isfinite(*out);
}

/* Whether [p, p + n) is valid UTF-8, as Python's strict decoder sees it. */
bool utf8_ok(const unsigned char *p, size_t n) {
    size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        unsigned c = p[i], need;
        unsigned long cp;
        if (c >= 0xC2 && c <= 0xDF)
            need = 1, cp = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF)
            need = 2, cp = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4)
            need = 3, cp = c & 0x07;
        else
            return false;
        if (i + need >= n)
            return false;
        for (unsigned k = 1; k <= need; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((need == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (need == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += need + 1;
    }
    return true;
}

/* printable ASCII other than a blank: nothing str.strip() removes */
bool graphic(char c) {
    return c > 0x20 && c < 0x7F;
}

/* A symbol the market takes and the careful reader would not question:
 * printable ASCII, no blank at either end. */
bool plain_symbol(const char *p, size_t n) {
    if (!n || !graphic(p[0]) || !graphic(p[n - 1]))
        return false;
    for (size_t i = 0; i < n; ++i)
        if (p[i] < 0x20 || p[i] > 0x7E)
            return false;
    return true;
}

using Cells = std::vector<std::pair<const char *, size_t>>;

/* The fields of a line as the csv module reads them in the plain cases:
 * unquoted fields, and fields wholly in double quotes with no quote or line
 * break inside.  false for anything else. */
bool split(const char *p, const char *e, Cells &cells) {
    cells.clear();
    for (;;) {
        if (p < e && *p == '"') {
            const char *q =
                static_cast<const char *>(std::memchr(p + 1, '"', static_cast<size_t>(e - p - 1)));
            if (!q || (q + 1 < e && q[1] != ','))
                return false; /* open, doubled, or followed by more text */
            cells.emplace_back(p + 1, static_cast<size_t>(q - p - 1));
            p = q + 1;
        } else {
            const char *end =
                static_cast<const char *>(std::memchr(p, ',', static_cast<size_t>(e - p)));
            if (!end)
                end = e;
            if (std::memchr(p, '"', static_cast<size_t>(end - p)))
                return false; /* a quote inside a field */
            cells.emplace_back(p, static_cast<size_t>(end - p));
            p = end;
        }
        if (p == e)
            return true;
        ++p; /* the comma */
    }
}

class Loader {
  public:
    Loader(const char *frequency, const std::unordered_set<std::string> *allowed)
        : allowed_(allowed) {
        tick_ = market::bar_seconds(frequency) == 0;
    }

    /* false: leave the files to the careful reader */
    bool file(int index, const char *path, const char *fixed_symbol);
    std::vector<Series> done() {
        for (Series &s : series_) {
            Columns &c = *s.data;
            for (auto *col : {&c.bob, &c.eob, &c.volume})
                col->fit();
            for (auto *col : {&c.open, &c.high, &c.low, &c.close, &c.amount})
                col->fit();
        }
        return std::move(series_);
    }

  private:
    bool header(const char *p, const char *e);
    bool row(const char *p, const char *e);
    Series *series_for(const char *p, size_t n);

    bool tick_;
    const std::unordered_set<std::string> *allowed_;
    std::vector<Series> series_;
    std::unordered_map<std::string, size_t> index_;
    /* this file's */
    int file_ = 0;
    const char *fixed_ = nullptr;
    int where_[kCols];
    int fields_ = 0;
    Series *last_ = nullptr;
    Cells cells_;
};

bool Loader::header(const char *p, const char *e) {
    std::fill(where_, where_ + kCols, -1);
    std::unordered_set<std::string> seen;
    if (!split(p, e, cells_))
        return false;
    for (fields_ = 0; fields_ < static_cast<int>(cells_.size()); ++fields_) {
        const auto &cell = cells_[static_cast<size_t>(fields_)];
        const std::string name(cell.first, cell.second);
        /* names the careful reader would strip, names given twice, and a
         * frequency column are left to it */
        if (name.empty() || !graphic(name.front()) || !graphic(name.back()) ||
            name == "frequency" || !seen.insert(name).second)
            return false;
        for (int c = 0; c < kCols; ++c)
            if (name == kNames[c])
                where_[c] = fields_;
    }
    static const Col kBars[] = {EOB, OPEN, HIGH, LOW, CLOSE, VOLUME};
    static const Col kTicks[] = {CREATED_AT, PRICE, VOLUME};
    if (tick_) {
        for (Col c : kTicks)
            if (where_[c] < 0)
                return false;
    } else {
        for (Col c : kBars)
            if (where_[c] < 0)
                return false;
    }
    return where_[SYMBOL] >= 0 || fixed_;
}

Series *Loader::series_for(const char *p, size_t n) {
    if (last_ && last_->symbol.size() == n && std::memcmp(last_->symbol.data(), p, n) == 0)
        return last_;
    std::string name(p, n);
    auto it = index_.find(name);
    if (it == index_.end()) {
        if (allowed_ && !allowed_->count(name))
            return nullptr;
        it = index_.emplace(name, series_.size()).first;
        series_.emplace_back();
        series_.back().symbol = std::move(name);
        series_.back().file = file_;
    }
    return last_ = &series_[it->second];
}

bool Loader::row(const char *p, const char *e) {
    if (!split(p, e, cells_) || static_cast<int>(cells_.size()) != fields_)
        return false;
    const auto cell = [&](Col c) { return cells_[static_cast<size_t>(where_[c])]; };
    Series *s;
    if (where_[SYMBOL] >= 0) {
        const auto sym = cell(SYMBOL);
        if (!plain_symbol(sym.first, sym.second))
            return false;
        s = series_for(sym.first, sym.second);
    } else {
        s = series_for(fixed_, std::strlen(fixed_));
    }
    if (!s)
        return false;
    const auto time = [&](Col c, bool is_end, long long *t) {
        const auto v = cell(c);
        return parse_time(v.first, v.second, is_end, t);
    };
    const auto number = [&](Col c, double *x) {
        const auto v = cell(c);
        return parse_number(v.first, v.second, x);
    };
    Columns &d = *s->data;
    long long bob = 0, eob;
    double open = 0, high = 0, low = 0, close, volume, amount;
    if (tick_) {
        if (!time(CREATED_AT, true, &eob) || !number(PRICE, &close) || !(close > 0))
            return false;
    } else {
        if (!time(EOB, true, &eob))
            return false;
        if (where_[BOB] >= 0 && cell(BOB).second) {
            if (!time(BOB, false, &bob) || bob > eob)
                return false;
        } else {
            bob = eob;
        }
        if (!number(OPEN, &open) || !number(HIGH, &high) || !number(LOW, &low) ||
            !number(CLOSE, &close) || !(open > 0 && high > 0 && low > 0 && close > 0) ||
            !(low <= open && low <= close && open <= high && close <= high))
            return false;
    }
    if (!number(VOLUME, &volume) || volume < 0 || volume >= kMaxVolume ||
        volume != static_cast<double>(static_cast<long long>(volume)))
        return false;
    const long long shares = static_cast<long long>(volume);
    if (!tick_ && where_[AMOUNT] >= 0 && cell(AMOUNT).second) {
        if (!number(AMOUNT, &amount) || amount < 0)
            return false;
    } else {
        amount = close * static_cast<double>(shares);
        if (!std::isfinite(amount))
            return false;
    }
    if (!d.eob.empty() && eob <= d.eob[d.eob.size() - 1])
        return false;
    bool ok =
        d.eob.push(eob) && d.close.push(close) && d.volume.push(shares) && d.amount.push(amount);
    if (!tick_)
        ok = ok && d.bob.push(bob) && d.open.push(open) && d.high.push(high) && d.low.push(low);
    return ok && d.size() <= 0x7fffffff;
}

bool Loader::file(int index, const char *path, const char *fixed_symbol) {
    file_ = index;
    fixed_ = fixed_symbol;
    last_ = nullptr;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    std::vector<char> buf(1 << 20);
    size_t have = 0;
    bool first = true, eof = false;
    while (!eof) {
        if (have == buf.size())
            buf.resize(2 * buf.size()); /* a line longer than the buffer */
        const ssize_t got = ::read(fd, buf.data() + have, buf.size() - have);
        if (got < 0)
            return false;
        eof = got == 0;
        have += static_cast<size_t>(got);
        /* whole lines only; at the end of the file, whatever is left */
        const char *base = buf.data();
        size_t start = 0;
        if (first && have >= 3 && std::memcmp(base, "\xEF\xBB\xBF", 3) == 0)
            start = 3;
        size_t stop = have;
        if (!eof) {
            const void *nl = memrchr(base + start, '\n', have - start);
            if (!nl)
                continue;
            stop = static_cast<size_t>(static_cast<const char *>(nl) - base) + 1;
        }
        const char *p = base + start, *end = base + stop;
        /* NULs and lone CRs: the csv module's business */
        if (std::memchr(p, '\0', static_cast<size_t>(end - p)) ||
            !utf8_ok(reinterpret_cast<const unsigned char *>(p), static_cast<size_t>(end - p)))
            return false;
        while (p < end) {
            const char *nl =
                static_cast<const char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            const char *line_end = nl ? nl : end;
            const char *next = nl ? nl + 1 : end;
            if (line_end > p && line_end[-1] == '\r')
                --line_end;
            if (std::memchr(p, '\r', static_cast<size_t>(line_end - p)))
                return false;
            if (first) {
                if (!header(p, line_end))
                    return false;
                first = false;
            } else if (line_end > p && !row(p, line_end)) {
                return false;
            }
            p = next;
        }
        have -= stop;
        std::memmove(buf.data(), buf.data() + stop, have);
    }
    return !first; /* an empty file has no header: the careful reader says so */
}

}  // namespace

/* What vqstub_csv_load hands out: the series read, until freed. */
struct Loaded {
    std::vector<Series> series;
};

}  // namespace replay
}  // namespace vqstub

using namespace vqstub;

extern "C" void *vqstub_csv_load(int files, const char *const *paths,
                                 const char *const *fixed_symbols, const char *frequency,
                                 int nallowed, const char *const *allowed) {
    if (files < 0 || !paths || !fixed_symbols || !frequency || market::bar_seconds(frequency) < 0)
        return nullptr;
    try {
        std::unordered_set<std::string> only;
        for (int i = 0; i < nallowed; ++i)
            only.insert(allowed[i]);
        replay::Loader loader(frequency, nallowed >= 0 ? &only : nullptr);
        for (int i = 0; i < files; ++i)
            if (!loader.file(i, paths[i], fixed_symbols[i]))
                return nullptr;
        auto *loaded = new replay::Loaded{loader.done()};
#ifdef __GLIBC__
        /* the read buffer and the columns' growth leave free heap pages
         * behind, which a load of millions of rows should not keep */
        malloc_trim(0);
#endif
        return loaded;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

extern "C" int vqstub_csv_count(void *loaded) {
    return loaded ? static_cast<int>(static_cast<replay::Loaded *>(loaded)->series.size()) : 0;
}

extern "C" long long vqstub_csv_series(void *loaded, int i, const char **symbol, int *file,
                                       const void **columns) {
    auto *l = static_cast<replay::Loaded *>(loaded);
    if (!l || i < 0 || static_cast<size_t>(i) >= l->series.size())
        return -1;
    const replay::Series &s = l->series[static_cast<size_t>(i)];
    const replay::Columns &c = *s.data;
    *symbol = s.symbol.c_str();
    *file = s.file;
    const void *cols[8] = {c.bob.data(), c.eob.data(),   c.open.data(),   c.high.data(),
                           c.low.data(), c.close.data(), c.volume.data(), c.amount.data()};
    std::memcpy(columns, cols, sizeof cols);
    return static_cast<long long>(c.size());
}

extern "C" int vqstub_market_feed_loaded(void *loaded, int i, const char *symbol,
                                         const char *frequency) {
    auto *l = static_cast<replay::Loaded *>(loaded);
    if (!l || i < 0 || static_cast<size_t>(i) >= l->series.size())
        return -1;
    return replay::store(symbol, frequency, l->series[static_cast<size_t>(i)].data) ? 0 : -1;
}

extern "C" void vqstub_csv_free(void *loaded) {
    delete static_cast<replay::Loaded *>(loaded);
}
