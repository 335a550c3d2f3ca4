// What each instruction puts on the line and what comes back, for the tools
// that show or reason about its exchanges without running it.  Made from the
// list of instructions (instructions.h): every instruction's body has one
// description here, named like the body, and an instruction is described by
// its body's.  The command and reply start characters and whether a reply
// repeats the address come from the list of operations that the engine's
// table is made from (operation_table.h).
//
// A command line is the operation's command character, the address as two
// hex digits ("**" for the host-OK broadcast), the exchange's data fields,
// the checksum when on and a carriage return.  The reply a module gives
// when all is well is the start character, the address when the operation's
// replies repeat it, the exchange's reply data, the checksum when on and a
// carriage return.  Reply data is written with placeholders: "h" for a hex
// digit and "d" for a decimal digit that the module fills in; every other
// character is sent as it is.
#ifndef VELDRAN_CATALOGUE_H
#define VELDRAN_CATALOGUE_H

#include <stddef.h>

#include "hostcmd.h"
#include "instructions.h"
#include "operands.h"
#include "operation_table.h"

namespace catalogue {

// What an exchange does, for the tools that look an instruction up by it.
enum Kind : UBYTE {
    READ_DIGITAL,  // the module's I/O state as one word
    WRITE_DIGITAL, // the digital outputs
    READ_ANALOG,   // one value per analog input channel
    WRITE_ANALOG,  // one analog output channel
    READ_COUNTER,  // one digital input counter
    CLEAR_COUNTER, // one digital input counter back to 0
    READ_STATUS,   // the module's status byte
    RESET_STATUS,  // the status back to 0
    SET_WATCHDOG,  // the host watchdog's time, enabled
    HOST_OK,       // the broadcast that keeps every module's host watchdog from expiring
};

// ---------------------------------------------------------------------------
// The framing of each operation: the characters the engine sends first and
// waits for first, and whether the reply repeats the address.

struct Framing {
    char command;
    char start;
    bool addressed;
};

#define VELDRAN_CATALOGUE_FRAMING(operation, command, start, question, bang, replyTrace, checksumTrace, addressed) \
    {command, start, addressed},
constexpr Framing framing[OP_COUNT] = {VELDRAN_OPERATIONS(VELDRAN_CATALOGUE_FRAMING)};

// ---------------------------------------------------------------------------
// The data fields of a command, after the address.

enum FieldKind : UBYTE {
    TEXT,    // the characters `text`
    NUMBER,  // `number` as `width` hex digits
    HEX,     // the operand's value AND `mask`, its low `width` hex digits, the highest first
    DECIMAL, // the operand's value printed with the format `text`: its first `width` characters
};

struct Field {
    FieldKind kind;
    const char *text;    // TEXT: the characters; DECIMAL: the printf format
    const char *operand; // HEX, DECIMAL: the label of the operand that fills the field (operands.h)
    UBYTE width;         // NUMBER, HEX, DECIMAL: the characters sent
    unsigned mask;       // HEX
    int number;          // NUMBER
};

constexpr Field text(const char *characters) { return {TEXT, characters, nullptr, 0, 0, 0}; }
constexpr Field number(int value, int width) { return {NUMBER, nullptr, nullptr, static_cast<UBYTE>(width), 0, value}; }
constexpr Field hex(const PARMDEF &operand, int width, unsigned mask = 0xFFFFFFFFu)
{
    return {HEX, nullptr, operand.prm_name, static_cast<UBYTE>(width), mask, 0};
}
constexpr Field decimal(const PARMDEF &operand, const char *format, int width)
{
    return {DECIMAL, format, operand.prm_name, static_cast<UBYTE>(width), 0, 0};
}

// ---------------------------------------------------------------------------
// Exchanges.

// What the tools call an exchange, and what its reply holds after the start
// character and the address: `data`, `repeat` times (once per channel for
// the analog read).  No data: no reply (the broadcast).
struct Form {
    const char *what;
    const char *data;
    UBYTE repeat;
};

constexpr int MAX_FIELDS = 3;

struct Exchange {
    Kind kind;
    Operation op;   // the engine's row (framing)
    bool broadcast; // "**" in place of the address; no module answers
    UBYTE fieldCount;
    Field fields[MAX_FIELDS];
    // How the engine checks the reply's length; `length` counts the
    // characters before the checksum (EXACTLY, AT_LEAST).
    LengthRule rule;
    UBYTE length;
    Form usual;
    // The reply of another form, where the operand labelled `selector` has
    // the value `selected` (the analog read's "Format:" 2: hex).
    const char *selector;
    int selected;
    Form other;
};

// An exchange of one reply form, without data fields and with them.
constexpr Exchange exchange(Kind kind, Operation op, LengthRule rule, int length, Form reply)
{
    return {kind, op, false, 0, {}, rule, static_cast<UBYTE>(length), reply, nullptr, 0, {}};
}
template <size_t N>
constexpr Exchange exchange(Kind kind, Operation op, LengthRule rule, int length, Form reply, const Field (&fields)[N])
{
    static_assert(N <= MAX_FIELDS, "the fields fit");
    Exchange x = exchange(kind, op, rule, length, reply);
    x.fieldCount = static_cast<UBYTE>(N);
    for (size_t i = 0; i < N; ++i)
        x.fields[i] = fields[i];
    return x;
}

// The exchanges of the instructions' bodies.
constexpr Exchange digitalRead = exchange(READ_DIGITAL, OP_READ_DIO, EXACTLY, 5, {"read digital I/O", "hhhh", 1});
constexpr Exchange digitalWrite(int digits, unsigned mask)
{
    return exchange(WRITE_DIGITAL, OP_WRITE_DO, EXACTLY, 1, {"write digital outputs", "", 1},
                    {hex(operands::dout, digits, mask)});
}
constexpr Exchange analogRead()
{
    Exchange x =
        exchange(READ_ANALOG, OP_READ_AIN, ANALOG_FIELDS, 0, {"read analog inputs (decimal)", "+dd.ddd", AIN_CHANNELS});
    x.selector = operands::format.prm_name;
    x.selected = 2;
    x.other = {"read analog inputs (hex)", "hhhh", AIN_CHANNELS};
    return x;
}
// Only the first seven characters of the printed value are sent.
constexpr Exchange analogWrite = exchange(WRITE_ANALOG, OP_WRITE_AO, EXACTLY, 1, {"write analog output", "", 1},
                                          {hex(operands::chan, 1), decimal(operands::aout, "%+07.3f", 7)});
constexpr Exchange counterRead =
    exchange(READ_COUNTER, OP_READ_COUNTER, EXACTLY, 8, {"read counter", "hhhhh", 1}, {hex(operands::chan, 1)});
constexpr Exchange counterClear = exchange(CLEAR_COUNTER, OP_CLEAR_COUNTER, EXACTLY, 3, {"clear counter", "", 1},
                                           {text("C"), hex(operands::chan, 1)});
constexpr Exchange statusRead =
    exchange(READ_STATUS, OP_HOST_CMD, EXACTLY, 5, {"read module status", "hh", 1}, {number(HOST_READ_STATUS, 1)});
constexpr Exchange statusReset =
    exchange(RESET_STATUS, OP_HOST_CMD, EXACTLY, 3, {"reset module status", "", 1}, {number(HOST_RESET_STATUS, 1)});
// The watchdog is always enabled ("1").
constexpr Exchange watchdogSet = exchange(SET_WATCHDOG, OP_HOST_CMD, EXACTLY, 3, {"set host watchdog", "", 1},
                                          {number(HOST_SET_WATCHDOG, 1), text("1"), hex(operands::hsecs, 2)});
constexpr Exchange hostOkBroadcast()
{
    Exchange x = exchange(HOST_OK, OP_HOST_CMD, EXACTLY, 0, {"host OK broadcast", nullptr, 0});
    x.broadcast = true;
    return x;
}

// ---------------------------------------------------------------------------
// What an instruction does: its exchanges in the order they are sent (a
// later one only after an earlier one succeeded) and the models it is made
// for.

constexpr int MAX_EXCHANGES = 2;
constexpr int MAX_MODELS = 5;

struct Behaviour {
    UBYTE exchangeCount;
    Exchange exchanges[MAX_EXCHANGES];
    UBYTE modelCount; // 0: any module
    int models[MAX_MODELS];
};

template <size_t E, size_t M> constexpr Behaviour behaviour(const Exchange (&exchanges)[E], const int (&models)[M])
{
    static_assert(E >= 1 && E <= MAX_EXCHANGES && M <= MAX_MODELS, "the exchanges and models fit");
    Behaviour b = {static_cast<UBYTE>(E), {}, static_cast<UBYTE>(M), {}};
    for (size_t i = 0; i < E; ++i)
        b.exchanges[i] = exchanges[i];
    for (size_t i = 0; i < M; ++i)
        b.models[i] = models[i];
    return b;
}
template <size_t E> constexpr Behaviour anyModule(const Exchange (&exchanges)[E])
{
    Behaviour b = behaviour(exchanges, {0});
    b.modelCount = 0;
    return b;
}

// The modules with digital input counters.
constexpr int COUNTER_MODELS[] = {7041, 7052, 7053, 7060, 7065};

// One description per body of the instructions (instructions.cpp), named
// like it.
constexpr Behaviour readAnalog = behaviour({analogRead()}, {7017, 7018}); // the 7018's also reports open inputs
constexpr Behaviour writeAnalog = behaviour({analogWrite}, {7024});
constexpr Behaviour read7041 = behaviour({digitalRead}, {7041});
constexpr Behaviour write7043 = behaviour({digitalWrite(4, 0xFFFFu)}, {7043});
constexpr Behaviour read7052 = behaviour({digitalRead}, {7052});
constexpr Behaviour read7053 = behaviour({digitalRead}, {7053});
// Five bits of "DOUT:" in one or two digits, then the inputs read back.
constexpr Behaviour io7060 = behaviour({digitalWrite(1, 0x1Fu), digitalRead}, {7060});
constexpr Behaviour io7065 = behaviour({digitalWrite(2, 0x1Fu), digitalRead}, {7065});
constexpr Behaviour readCounter = behaviour({counterRead}, COUNTER_MODELS);
constexpr Behaviour clearCounter = behaviour({counterClear}, COUNTER_MODELS);
constexpr Behaviour resetStatus = anyModule({statusReset});
constexpr Behaviour readStatus = anyModule({statusRead});
constexpr Behaviour setWatchdog = anyModule({watchdogSet});
constexpr Behaviour hostOk = anyModule({hostOkBroadcast()});

// ---------------------------------------------------------------------------
// The catalogue: one entry per instruction of the list, in its order.

struct Instruction {
    const char *name;
    Behaviour does;
    operands::List takes; // its operands, in the order the host passes them
};

#define VELDRAN_CATALOGUE_ENTRY(name, description, body, ...) {#name, body, operands::name},
constexpr Instruction instructions[INSTRUCTION_COUNT] = {VELDRAN_INSTRUCTIONS(VELDRAN_CATALOGUE_ENTRY)};

// The entry of the instruction named `name`, or null.
constexpr const Instruction *find(const char *name)
{
    for (const Instruction &i : instructions)
        if (operands::sameLabel(i.name, name))
            return &i;
    return nullptr;
}

// Whether the instruction makes one exchange, of `kind`.
constexpr bool makesOnly(const Instruction &i, Kind kind)
{
    return i.does.exchangeCount == 1 && i.does.exchanges[0].kind == kind;
}

// Whether one of the instruction's exchanges is of `kind`.
constexpr bool makes(const Instruction &i, Kind kind)
{
    for (int e = 0; e < i.does.exchangeCount; ++e)
        if (i.does.exchanges[e].kind == kind)
            return true;
    return false;
}

// Whether the instruction is made for the model `model` (7017 ...); one for
// any module is made for none in particular.
constexpr bool madeFor(const Instruction &i, int model)
{
    for (int m = 0; m < i.does.modelCount; ++m)
        if (i.does.models[m] == model)
            return true;
    return false;
}

// The first instruction whose one exchange is of `kind`, or null: "the
// status read", "the analog read", "the digital read".
constexpr const Instruction *firstMaking(Kind kind)
{
    for (const Instruction &i : instructions)
        if (makesOnly(i, kind))
            return &i;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Checks: every reply of a fixed length has the length the engine checks,
// and every operand a field names is one of the instruction's.

constexpr int textLength(const char *s)
{
    int n = 0;
    while (s[n])
        ++n;
    return n;
}

constexpr bool keepsItsLength(const Exchange &x, const Form &f)
{
    if (!f.data)
        return x.broadcast;
    int n = 1 + (framing[x.op].addressed ? 2 : 0) + textLength(f.data) * f.repeat;
    switch (x.rule) {
    case EXACTLY:
        return n == x.length;
    case AT_LEAST:
        return n >= x.length;
    case ANALOG_FIELDS:
        return x.length == 0;
    }
    return false;
}

constexpr bool hasOperand(const operands::List &ops, const char *label)
{
    for (int i = 0; i < ops.count; ++i)
        if (operands::sameLabel(ops.p[i].prm_name, label))
            return true;
    return false;
}

constexpr bool describes(const operands::List &ops, const Behaviour &b)
{
    for (int e = 0; e < b.exchangeCount; ++e) {
        const Exchange &x = b.exchanges[e];
        if (!keepsItsLength(x, x.usual) ||
            (x.selector && (!hasOperand(ops, x.selector) || !keepsItsLength(x, x.other))))
            return false;
        for (int f = 0; f < x.fieldCount; ++f)
            if (x.fields[f].operand && !hasOperand(ops, x.fields[f].operand))
                return false;
    }
    return b.exchangeCount > 0;
}

#define VELDRAN_CATALOGUE_CHECK(name, description, body, ...) \
    static_assert(describes(operands::name, body), #name ": the exchanges of " #body " fit its operands and lengths");
VELDRAN_INSTRUCTIONS(VELDRAN_CATALOGUE_CHECK)

constexpr bool someMaking(Kind kind)
{
    for (const Instruction &i : instructions)
        if (makesOnly(i, kind))
            return true;
    return false;
}
static_assert(someMaking(READ_STATUS) && someMaking(READ_ANALOG) && someMaking(READ_DIGITAL),
              "a status read, an analog read and a digital read");

} // namespace catalogue

#endif
