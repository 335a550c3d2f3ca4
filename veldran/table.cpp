// The instruction table the host reads to learn the module's instructions:
// name, description, function and operand descriptors of each, then an
// all-zero terminator.  A static initialised object; the module's own code
// never reads or writes it.
#include "module.h"
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

// One entry per instruction of the list (instructions.h), in its order.
#define VELDRAN_TABLE_ENTRY(name, description, body, ...) entry(#name, description, name, operands::name),

extern "C" {

FUNCDEF function_table[FUNCTION_TABLE_ENTRIES] = {
    VELDRAN_INSTRUCTIONS(VELDRAN_TABLE_ENTRY) // the instructions
    {},                                       // terminator: all zero
};
}
