/*
 * json.h - just enough JSON for the offline market: a writer for event
 * payloads and responses, and a reader for the fields of a flat request
 * object.  Internal; nothing here is exported.
 */
#ifndef VQ_STANDIN_JSON_H
#define VQ_STANDIN_JSON_H

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vqstub {
namespace json {

/* The deepest nesting of objects and arrays either side handles, a request
 * object itself counting as one.  The reader refuses anything deeper,
 * which also bounds its recursion. */
constexpr int kMaxDepth = 64;

/* ---- writer -------------------------------------------------------------- */

class Writer {
  public:
    explicit Writer(std::string &out) : out_(out) { out_.clear(); }

    Writer &begin_object() { return open('{'); }
    Writer &end_object() { return close('}'); }
    Writer &begin_array() { return open('['); }
    Writer &end_array() { return close(']'); }

    Writer &key(const char *k) {
        comma();
        quote(k, std::strlen(k));
        out_ += ':';
        after_key_ = true;
        return *this;
    }

    Writer &str(const std::string &s) {
        prefix();
        quote(s.data(), s.size());
        return *this;
    }

    /* shortest text that reads back as the same double, without an
   * exponent in the usual range; null if not finite */
    Writer &num(double v) {
        prefix();
        if (!std::isfinite(v)) {
            out_ += "null";
        } else {
            char buf[64];
            const double a = std::fabs(v);
            const auto fmt = a == 0 || (a >= 1e-6 && a < 1e15) ? std::chars_format::fixed
                                                               : std::chars_format::general;
            auto r = std::to_chars(buf, buf + sizeof buf, v == 0 ? 0.0 : v, fmt);
            out_.append(buf, r.ptr);
        }
        return *this;
    }

    Writer &integer(long long v) {
        prefix();
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        out_.append(buf, r.ptr);
        return *this;
    }

    template <class V>
    Writer &field(const char *k, const V &v) {
        key(k);
        return put(v);
    }

  private:
    Writer &put(const std::string &v) { return str(v); }
    Writer &put(const char *v) { return str(v); }
    Writer &put(double v) { return num(v); }
    Writer &put(long long v) { return integer(v); }
    Writer &put(int v) { return integer(v); }

    Writer &open(char c) {
        prefix();
        out_ += c;
        if (depth_ < kMaxDepth)
            ++depth_;
        first_[depth_] = true;
        return *this;
    }

    Writer &close(char c) {
        if (depth_ > 0)
            --depth_;
        out_ += c;
        return *this;
    }

    void comma() {
        if (depth_ > 0 && !first_[depth_])
            out_ += ',';
        first_[depth_] = false;
    }

    void prefix() {
        if (after_key_)
            after_key_ = false;
        else
            comma();
    }

    void quote(const char *s, size_t n) {
        out_ += '"';
        for (size_t i = 0; i < n; ++i) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += static_cast<char>(c);
            } else if (c < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out_ += "\\u00";
                out_ += hex[c >> 4];
                out_ += hex[c & 15];
            } else {
                out_ += static_cast<char>(c);
            }
        }
        out_ += '"';
    }

    std::string &out_;
    bool first_[kMaxDepth + 1] = {true};
    int depth_ = 0;
    bool after_key_ = false;
};

/* ---- reader -------------------------------------------------------------- */

struct Value {
    enum Kind { STRING, NUMBER, BOOL, NUL, NESTED } kind = NUL;
    std::string s;
    double d = 0;
};

struct Field {
    std::string key;
    Value v;
};

class Reader {
  public:
    Reader(const char *p, size_t n) : p_(p), end_(p + n) {}

    /* The members of one top-level object, nested values kept only as
   * NESTED.  False when the text is not a JSON object. */
    bool object(std::vector<Field> &out) {
        ws();
        if (!eat('{'))
            return false;
        ws();
        if (eat('}'))
            return tail();
        for (;;) {
            Field f;
            ws();
            if (!string(f.key))
                return false;
            ws();
            if (!eat(':'))
                return false;
            ws();
            if (!value(f.v, 1))
                return false;
            out.push_back(std::move(f));
            ws();
            if (eat('}'))
                return tail();
            if (!eat(','))
                return false;
        }
    }

  private:
    bool tail() {
        ws();
        return p_ == end_ || (*p_ == '\0' && p_ + 1 == end_);
    }

    void ws() {
        while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r'))
            ++p_;
    }

    bool eat(char c) {
        if (p_ < end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }

    bool literal(const char *w) {
        const size_t n = std::strlen(w);
        if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, w, n) != 0)
            return false;
        p_ += n;
        return true;
    }

    static int hexval(char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    bool hex4(unsigned *u) {
        if (end_ - p_ < 4)
            return false;
        *u = 0;
        for (int i = 0; i < 4; ++i) {
            const int h = hexval(p_[i]);
            if (h < 0)
                return false;
            *u = *u * 16 + static_cast<unsigned>(h);
        }
        p_ += 4;
        return true;
    }

    static void utf8(std::string &s, unsigned cp) {
        if (cp < 0x80) {
            s += static_cast<char>(cp);
        } else if (cp < 0x800) {
            s += static_cast<char>(0xC0 | (cp >> 6));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            s += static_cast<char>(0xE0 | (cp >> 12));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (cp >> 18));
            s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool string(std::string &s) {
        if (!eat('"'))
            return false;
        while (p_ < end_) {
            const char c = *p_++;
            if (c == '"')
                return true;
            if (c != '\\') {
                s += c;
                continue;
            }
            if (p_ == end_)
                return false;
            const char e = *p_++;
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    s += e;
                    break;
                case 'b':
                    s += '\b';
                    break;
                case 'f':
                    s += '\f';
                    break;
                case 'n':
                    s += '\n';
                    break;
                case 'r':
                    s += '\r';
                    break;
                case 't':
                    s += '\t';
                    break;
                case 'u': {
                    unsigned cp;
                    if (!hex4(&cp))
                        return false;
                    if (cp >= 0xD800 && cp < 0xDC00 && end_ - p_ >= 6 && p_[0] == '\\' &&
                        p_[1] == 'u') {
                        /* the low half of a pair; anything else is read
                         * again as an escape of its own */
                        const char *next = p_;
                        p_ += 2;
                        unsigned lo;
                        if (hex4(&lo) && lo >= 0xDC00 && lo < 0xE000)
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                        else
                            p_ = next;
                    }
                    /* a lone half has no UTF-8 form */
                    utf8(s, cp >= 0xD800 && cp < 0xE000 ? kReplacement : cp);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    bool number(double *d) {
        const char *start = p_;
        if (p_ < end_ && (*p_ == '-' || *p_ == '+'))
            ++p_;
        while (p_ < end_ && ((*p_ >= '0' && *p_ <= '9') || *p_ == '.' || *p_ == 'e' || *p_ == 'E' ||
                             *p_ == '-' || *p_ == '+'))
            ++p_;
        const char *first = *start == '+' ? start + 1 : start;
        auto r = std::from_chars(first, p_, *d);
        return r.ec == std::errc() && r.ptr == p_ && p_ > first;
    }

    /* one value inside depth open containers */
    bool value(Value &v, int depth) {
        if (p_ == end_)
            return false;
        const char c = *p_;
        if (c == '"') {
            v.kind = Value::STRING;
            return string(v.s);
        }
        if (c == '{' || c == '[') {
            if (depth == kMaxDepth)
                return false;
            v.kind = Value::NESTED;
            const char close = c == '{' ? '}' : ']';
            ++p_;
            ws();
            if (eat(close))
                return true;
            for (;;) {
                Value skip;
                ws();
                if (c == '{') {
                    std::string k;
                    if (!string(k))
                        return false;
                    ws();
                    if (!eat(':'))
                        return false;
                    ws();
                }
                if (!value(skip, depth + 1))
                    return false;
                ws();
                if (eat(close))
                    return true;
                if (!eat(','))
                    return false;
            }
        }
        if (literal("true")) {
            v.kind = Value::BOOL;
            v.d = 1;
            return true;
        }
        if (literal("false")) {
            v.kind = Value::BOOL;
            return true;
        }
        if (literal("null")) {
            v.kind = Value::NUL;
            return true;
        }
        v.kind = Value::NUMBER;
        return number(&v.d);
    }

    static constexpr unsigned kReplacement = 0xFFFD; /* U+FFFD REPLACEMENT CHARACTER */
    const char *p_;
    const char *end_;
};

inline const Value *find(const std::vector<Field> &fields, const char *key) {
    for (const Field &f : fields)
        if (f.key == key)
            return &f.v;
    return nullptr;
}

/* a number, or a string holding one */
inline bool as_number(const Value *v, double *d) {
    if (!v)
        return false;
    if (v->kind == Value::NUMBER || v->kind == Value::BOOL) {
        *d = v->d;
        return true;
    }
    if (v->kind != Value::STRING)
        return false;
    const char *b = v->s.data(), *e = b + v->s.size();
    while (b < e && *b == ' ')
        ++b;
    while (e > b && e[-1] == ' ')
        --e;
    auto r = std::from_chars(b, e, *d);
    return r.ec == std::errc() && r.ptr == e && e > b;
}

}  // namespace json
}  // namespace vqstub

#endif /* VQ_STANDIN_JSON_H */
