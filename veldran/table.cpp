// The instruction table the host reads to learn the module's instructions:
// name, description, function and operand descriptors of each, then an
// all-zero terminator.  A static initialised object; the module's own code
// never reads or writes it.
#include "operands.h"

namespace {

template <size_t N, size_t M>
constexpr FUNCDEF entry(const char (&name)[N], const char (&desc)[M], TLIPTR fn, const operands::List &ops)
{
    static_assert(N <= sizeof(FUNCDEF::fnc_name) && M <= sizeof(FUNCDEF::fnc_desc), "name and description fit");
    FUNCDEF f{};
    for (size_t i = 0; i < N; ++i)
        f.fnc_name[i] = name[i];
    for (size_t i = 0; i < M; ++i)
        f.fnc_desc[i] = desc[i];
    f.fnc_ptr = fn;
    f.fnc_numargs = ops.count;
    for (int i = 0; i < ops.count; ++i)
        f.p[i] = ops.p[i];
    return f;
}

} // namespace

extern "C" {

FUNCDEF function_table[FUNCTION_TABLE_ENTRIES] = {
    entry("I7017", "Read 8 Analog Inputs", I7017, operands::I7017),
    entry("I7018", "Read 8 TC Inputs", I7018, operands::I7018),
    entry("I7024", "Write Analog Output", I7024, operands::I7024),
    entry("I7041", "Read Digital Inputs", I7041, operands::I7041),
    entry("I7043", "Write Digital Outputs", I7043, operands::I7043),
    entry("I7052", "Read Digital Inputs", I7052, operands::I7052),
    entry("I7053", "Read Digital Inputs", I7053, operands::I7053),
    entry("I7060", "RD/WR Digital I/0", I7060, operands::I7060),
    entry("I7065", "RD/WR Digital I/0", I7065, operands::I7065),
    entry("I7RDC", "Read Digital Input Counter", I7RDC, operands::I7RDC),
    entry("I7CDC", "Clear Digital Input Counter", I7CDC, operands::I7CDC),
    entry("I7RSMS", "Reset Module Status", I7RSMS, operands::I7RSMS),
    entry("I7RDMS", "Read Module Status", I7RDMS, operands::I7RDMS),
    entry("I7SHWV", "Set Host WatchDog Value", I7SHWV, operands::I7SHWV),
    entry("I7HOK", "Host OK", I7HOK, operands::I7HOK),
    {}, // terminator: all zero
};
}

static_assert(sizeof function_table == sizeof(FUNCDEF) * 16, "sixteen entries");
