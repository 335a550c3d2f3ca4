// A small JSON reader and writer for the records the commissioning tools
// exchange (the as-built record, the loop check's results, the report's
// data): objects, arrays, strings with their escapes, numbers, true, false
// and null.  Objects keep their members in the order they were read or set.
#ifndef TOOLS_HOST_JSON_H
#define TOOLS_HOST_JSON_H

#include <string>
#include <utility>
#include <vector>

namespace vhost::json {

struct Value {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Value> items;                           // an array's
    std::vector<std::pair<std::string, Value>> members; // an object's

    static Value object();
    static Value array();
    Value() = default;
    Value(const char *s);
    Value(const std::string &s);
    Value(double n);
    Value(int n) : Value(static_cast<double>(n)) {}
    Value(bool b);

    // An object's member (set replaces one of the same key, else appends).
    Value &set(const std::string &key, Value v);
    const Value *find(const std::string &key) const;
    // A member's string, number or boolean, or `otherwise` where it is
    // missing or of another type.
    std::string str(const std::string &key, const std::string &otherwise = "") const;
    double num(const std::string &key, double otherwise = 0) const;
    bool flag(const std::string &key, bool otherwise = false) const;
    // An array member's items (none where it is missing or no array).
    const std::vector<Value> &list(const std::string &key) const;
    Value &push(Value v);
};

// The text of `v`, indented by two blanks a level, with a line end.
std::string write(const Value &v);
// A string as a JSON string literal, quotes and escapes included.
std::string quote(const std::string &s);
// Reads one value filling the whole text (blanks around it aside); false
// with `error` ("line 3: expected ':'") otherwise.
bool parse(const std::string &text, Value &out, std::string &error);

} // namespace vhost::json

#endif
