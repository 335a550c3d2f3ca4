// The JSON reader and writer; see json.h.
#include "json.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vhost::json {

Value Value::object()
{
    Value v;
    v.type = Type::Object;
    return v;
}

Value Value::array()
{
    Value v;
    v.type = Type::Array;
    return v;
}

Value::Value(const char *s) : type(Type::String), text(s) {}
Value::Value(const std::string &s) : type(Type::String), text(s) {}
Value::Value(double n) : type(Type::Number), number(n) {}
Value::Value(bool b) : type(Type::Bool), boolean(b) {}

Value &Value::set(const std::string &key, Value v)
{
    type = Type::Object;
    for (auto &m : members)
        if (m.first == key)
            return m.second = std::move(v);
    members.emplace_back(key, std::move(v));
    return members.back().second;
}

const Value *Value::find(const std::string &key) const
{
    for (const auto &m : members)
        if (m.first == key)
            return &m.second;
    return nullptr;
}

std::string Value::str(const std::string &key, const std::string &otherwise) const
{
    const Value *v = find(key);
    return v && v->type == Type::String ? v->text : otherwise;
}

double Value::num(const std::string &key, double otherwise) const
{
    const Value *v = find(key);
    return v && v->type == Type::Number ? v->number : otherwise;
}

bool Value::flag(const std::string &key, bool otherwise) const
{
    const Value *v = find(key);
    return v && v->type == Type::Bool ? v->boolean : otherwise;
}

const std::vector<Value> &Value::list(const std::string &key) const
{
    static const std::vector<Value> none;
    const Value *v = find(key);
    return v && v->type == Type::Array ? v->items : none;
}

Value &Value::push(Value v)
{
    type = Type::Array;
    items.push_back(std::move(v));
    return items.back();
}

// ---------------------------------------------------------------------------
// Writing.

std::string quote(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        default:
            if (c < 0x20) {
                char u[8];
                snprintf(u, sizeof u, "\\u%04x", c);
                out += u;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

namespace {

// The shortest text that reads back as the same number; JSON has no NaN or
// infinity, which are written as null.
std::string numberText(double n)
{
    if (!std::isfinite(n))
        return "null";
    char buf[32];
    for (int digits = 15; digits <= 17; ++digits) {
        snprintf(buf, sizeof buf, "%.*g", digits, n);
        if (strtod(buf, nullptr) == n)
            break;
    }
    return buf;
}

void writeTo(const Value &v, int depth, std::string &out)
{
    const std::string in(static_cast<size_t>(depth + 1) * 2, ' '), back(static_cast<size_t>(depth) * 2, ' ');
    switch (v.type) {
    case Value::Type::Null:
        out += "null";
        return;
    case Value::Type::Bool:
        out += v.boolean ? "true" : "false";
        return;
    case Value::Type::Number:
        out += numberText(v.number);
        return;
    case Value::Type::String:
        out += quote(v.text);
        return;
    case Value::Type::Array:
        if (v.items.empty()) {
            out += "[]";
            return;
        }
        out += "[\n";
        for (size_t i = 0; i < v.items.size(); ++i) {
            out += in;
            writeTo(v.items[i], depth + 1, out);
            out += i + 1 < v.items.size() ? ",\n" : "\n";
        }
        out += back + "]";
        return;
    case Value::Type::Object:
        if (v.members.empty()) {
            out += "{}";
            return;
        }
        out += "{\n";
        for (size_t i = 0; i < v.members.size(); ++i) {
            out += in + quote(v.members[i].first) + ": ";
            writeTo(v.members[i].second, depth + 1, out);
            out += i + 1 < v.members.size() ? ",\n" : "\n";
        }
        out += back + "}";
        return;
    }
}

// ---------------------------------------------------------------------------
// Reading.

class Reader {
public:
    explicit Reader(const std::string &text) : s_(text) {}
    bool document(Value &out, std::string &error);

private:
    bool value(Value &out, int depth);
    bool string(std::string &out);
    bool escape(std::string &out);
    bool hex4(unsigned &u);
    bool number(Value &out);
    bool word(const char *w);
    bool items(Value &out, int depth);
    bool members(Value &out, int depth);
    void blanks();
    bool fail(const std::string &why);
    bool at(char c) const { return i_ < s_.size() && s_[i_] == c; }

    const std::string &s_;
    size_t i_ = 0;
    std::string error_;
};

constexpr int MAX_DEPTH = 64; // records nest a few levels; deeper is no record of ours

void utf8(unsigned u, std::string &out)
{
    if (u < 0x80) {
        out += static_cast<char>(u);
    } else if (u < 0x800) {
        out += static_cast<char>(0xC0 | (u >> 6));
        out += static_cast<char>(0x80 | (u & 0x3F));
    } else if (u < 0x10000) {
        out += static_cast<char>(0xE0 | (u >> 12));
        out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (u >> 18));
        out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (u & 0x3F));
    }
}

bool Reader::fail(const std::string &why)
{
    if (error_.empty()) {
        int line = 1;
        for (size_t k = 0; k < i_ && k < s_.size(); ++k)
            line += s_[k] == '\n';
        error_ = "line " + std::to_string(line) + ": " + why;
    }
    return false;
}

void Reader::blanks()
{
    while (at(' ') || at('\t') || at('\r') || at('\n'))
        ++i_;
}

bool Reader::document(Value &out, std::string &error)
{
    blanks();
    bool ok = value(out, 0);
    blanks();
    if (ok && i_ != s_.size())
        ok = fail("text after the value");
    error = error_;
    return ok;
}

bool Reader::word(const char *w)
{
    size_t n = strlen(w);
    if (s_.compare(i_, n, w) != 0)
        return fail("expected a value");
    i_ += n;
    return true;
}

bool Reader::value(Value &out, int depth)
{
    if (depth > MAX_DEPTH)
        return fail("nested too deep");
    if (i_ >= s_.size())
        return fail("expected a value, not the end");
    switch (s_[i_]) {
    case '{':
        return members(out, depth);
    case '[':
        return items(out, depth);
    case '"':
        out = Value(std::string());
        return string(out.text);
    case 't':
        out = Value(true);
        return word("true");
    case 'f':
        out = Value(false);
        return word("false");
    case 'n':
        out = Value();
        return word("null");
    default:
        return number(out);
    }
}

bool Reader::hex4(unsigned &u)
{
    u = 0;
    for (int k = 0; k < 4; ++k, ++i_) {
        if (i_ >= s_.size() || !isxdigit(static_cast<unsigned char>(s_[i_])))
            return fail("expected four hex digits after \\u");
        char c = s_[i_];
        u = u * 16 + static_cast<unsigned>(isdigit(static_cast<unsigned char>(c)) ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    return true;
}

bool Reader::escape(std::string &out)
{
    const char c = i_ < s_.size() ? s_[i_++] : '\0';
    const char *from = "\"\\/bfnrt", *to = "\"\\/\b\f\n\r\t";
    if (const char *k = c ? strchr(from, c) : nullptr) {
        out += to[k - from];
        return true;
    }
    if (c != 'u')
        return fail("unknown escape in a string");
    unsigned u;
    if (!hex4(u))
        return false;
    // A character beyond the first plane comes as a pair of surrogates.
    if (u >= 0xD800 && u < 0xDC00 && s_.compare(i_, 2, "\\u") == 0) {
        i_ += 2;
        unsigned low;
        if (!hex4(low))
            return false;
        if (low < 0xDC00 || low > 0xDFFF)
            return fail("a lone surrogate in a string");
        u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
    } else if (u >= 0xD800 && u < 0xE000) {
        return fail("a lone surrogate in a string");
    }
    utf8(u, out);
    return true;
}

bool Reader::string(std::string &out)
{
    ++i_; // the opening quote
    while (i_ < s_.size() && s_[i_] != '"') {
        const unsigned char c = static_cast<unsigned char>(s_[i_]);
        if (c < 0x20)
            return fail("a control character in a string");
        ++i_;
        if (c != '\\')
            out += static_cast<char>(c);
        else if (!escape(out))
            return false;
    }
    if (i_ >= s_.size())
        return fail("a string without its closing quote");
    ++i_;
    return true;
}

bool Reader::number(Value &out)
{
    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
    const size_t start = i_;
    auto digits = [&] {
        size_t from = i_;
        while (i_ < s_.size() && isdigit(static_cast<unsigned char>(s_[i_])))
            ++i_;
        return i_ > from;
    };
    if (at('-'))
        ++i_;
    if (at('0'))
        ++i_;
    else if (!digits())
        return fail("expected a value");
    if (at('.') && (++i_, !digits()))
        return fail("expected digits after the point");
    if (at('e') || at('E')) {
        ++i_;
        if (at('+') || at('-'))
            ++i_;
        if (!digits())
            return fail("expected digits in the exponent");
    }
    out = Value(strtod(s_.substr(start, i_ - start).c_str(), nullptr));
    return true;
}

bool Reader::items(Value &out, int depth)
{
    out = Value::array();
    ++i_;
    blanks();
    if (at(']')) {
        ++i_;
        return true;
    }
    for (;;) {
        Value v;
        blanks();
        if (!value(v, depth + 1))
            return false;
        out.items.push_back(std::move(v));
        blanks();
        if (at(']')) {
            ++i_;
            return true;
        }
        if (!at(','))
            return fail("expected ',' or ']'");
        ++i_;
    }
}

bool Reader::members(Value &out, int depth)
{
    out = Value::object();
    ++i_;
    blanks();
    if (at('}')) {
        ++i_;
        return true;
    }
    for (;;) {
        blanks();
        std::string key;
        if (!at('"'))
            return fail("expected a member's name in quotes");
        if (!string(key))
            return false;
        blanks();
        if (!at(':'))
            return fail("expected ':'");
        ++i_;
        blanks();
        Value v;
        if (!value(v, depth + 1))
            return false;
        out.set(key, std::move(v));
        blanks();
        if (at('}')) {
            ++i_;
            return true;
        }
        if (!at(','))
            return fail("expected ',' or '}'");
        ++i_;
    }
}

} // namespace

std::string write(const Value &v)
{
    std::string out;
    writeTo(v, 0, out);
    return out + "\n";
}

bool parse(const std::string &text, Value &out, std::string &error)
{
    Reader r(text);
    out = Value();
    return r.document(out, error);
}

} // namespace vhost::json
