// Fuzzes the reference host's ladder-file reader against the module's own
// instruction table.
//
// Input: the text of a ladder file.
//
// Checked: the reader returns a program or throws its own error, never
// anything else (a crash, another exception, a hang); an error names the
// file ("ladder.toml:LINE:COLUMN: ..." where the text has a place); in a
// program it accepts, every rung names an instruction of the table with as
// many operands as the table gives it, and every operand bound to the data
// table lies inside its file, the whole array for an "AIN:" operand, so
// that no scan can write outside the data table.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ladder.h"
#include "module.h"

namespace {

[[noreturn]] void broken(const std::string &what)
{
    fprintf(stderr, "\n*** ladder reader: %s\n", what.c_str());
    abort();
}

void checkRef(const vhost::Program &p, const vhost::Ref &r, size_t len, const std::string &where)
{
    if (r.file < 0 || static_cast<size_t>(r.file) >= p.files.size())
        broken(where + ": no such file");
    const vhost::DataFile &f = p.files[static_cast<size_t>(r.file)];
    if (r.index < 0 || static_cast<size_t>(r.index) + len > f.size())
        broken(where + ": " + f.name + ":" + std::to_string(r.index) + " and " + std::to_string(len) +
               " elements lie outside the file of " + std::to_string(f.size()));
    if (r.bit < -1 || r.bit > 15)
        broken(where + ": bit " + std::to_string(r.bit));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::string src = "ladder.toml";
    try {
        vhost::Program p = vhost::parseLadderText(text, src, function_table);
        int entries = static_cast<int>(vhost::tableEntries(function_table));
        for (size_t i = 0; i < p.rungs.size(); ++i) {
            const vhost::Rung &r = p.rungs[i];
            std::string where = "rung " + std::to_string(i);
            if (r.instr < 0 || r.instr >= entries)
                broken(where + ": instruction " + std::to_string(r.instr));
            const FUNCDEF &fn = function_table[r.instr];
            if (r.operands.size() != fn.fnc_numargs)
                broken(where + ": " + std::to_string(r.operands.size()) + " operands");
            for (size_t k = 0; k < r.operands.size(); ++k)
                if (r.operands[k].kind == vhost::Operand::Kind::Ref)
                    checkRef(p, r.operands[k].ref, fn.p[k].prm_len, where + " operand " + std::to_string(k));
            if (r.when.kind == vhost::Condition::Kind::Ref)
                checkRef(p, r.when.ref, 1, where + " condition");
        }
    } catch (const vhost::LadderError &e) {
        std::string msg = e.what();
        if (msg.compare(0, src.size() + 1, src + ":") != 0 || e.message.empty())
            broken("an error that does not name the file: " + msg);
    } catch (const std::exception &e) {
        broken(std::string("threw ") + e.what());
    }
    return 0;
}
