#include "exchange_text.h"

#include <cstdint>
#include <cstdio>

#include "wire_format.h"

namespace wire {

namespace {

// The operand's value as the module takes a word operand: a 32-bit integer.
uint32_t wordOf(const OperandValues &values, const char *label)
{
    return static_cast<uint32_t>(static_cast<int32_t>(values(label)));
}

std::string fieldText(const catalogue::Field &f, const OperandValues &values)
{
    switch (f.kind) {
    case catalogue::TEXT:
        return f.text;
    case catalogue::NUMBER:
        return hexDigits(static_cast<uint32_t>(f.number), f.width);
    case catalogue::HEX:
        return hexDigits(wordOf(values, f.operand) & f.mask, f.width);
    case catalogue::DECIMAL: {
        // The module prints the float it was given.
        char printed[64];
        snprintf(printed, sizeof printed, f.text, static_cast<double>(static_cast<float>(values(f.operand))));
        return std::string(printed).substr(0, f.width);
    }
    }
    return "";
}

} // namespace

const catalogue::Form &formOf(const catalogue::Exchange &x, const OperandValues &values)
{
    if (x.selector && static_cast<int>(values(x.selector)) == x.selected)
        return x.other;
    return x.usual;
}

std::string commandLine(const catalogue::Exchange &x, const OperandValues &values, bool checksum)
{
    std::string body(1, catalogue::framing[x.op].command);
    body += x.broadcast ? std::string("**") : hex2(wordOf(values, operands::addr.prm_name) & 0xFF);
    for (int i = 0; i < x.fieldCount; ++i)
        body += fieldText(x.fields[i], values);
    return framed(body, checksum);
}

std::string replyBody(const catalogue::Exchange &x, const OperandValues &values)
{
    const catalogue::Form &form = formOf(x, values);
    if (!form.data)
        return "";
    const catalogue::Framing &fr = catalogue::framing[x.op];
    std::string body(1, fr.start);
    if (fr.addressed)
        body += hex2(wordOf(values, operands::addr.prm_name) & 0xFF);
    for (int i = 0; i < form.repeat; ++i)
        body += form.data;
    return body;
}

std::string replyLine(const catalogue::Exchange &x, const OperandValues &values, bool checksum)
{
    std::string body = replyBody(x, values);
    return body.empty() ? body : body + (checksum ? "cc" : "") + "\r";
}

} // namespace wire
