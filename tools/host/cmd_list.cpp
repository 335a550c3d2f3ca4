// list: the module's instruction table.
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "veldran_version.h"

namespace vhost {

namespace {

const char *kindName(WORD kind)
{
    switch (kind) {
    case ARG_WORD_IN:
        return "word in";
    case ARG_WORD_OUT:
        return "word out";
    case ARG_FLOAT_IN:
        return "float in";
    case ARG_NUM_OUT:
        return "number out (float or word)";
    case ARG_ARRAY_OUT:
        return "array out (float or word)";
    default:
        return "?";
    }
}

void listTable(const std::string &path, const FUNCDEF *table)
{
    int n = tableEntries(table);
    printf("veldran-host %s, %s: %d instructions\n", VELDRAN_VERSION, path.c_str(), n);
    for (int i = 0; i < n; ++i) {
        const FUNCDEF &f = table[i];
        std::string desc(f.fnc_desc, strnlen(f.fnc_desc, sizeof f.fnc_desc));
        printf("%2d  %-8s \"%s\"  %d operand%s", i, instrName(f).c_str(), desc.c_str(), f.fnc_numargs,
               f.fnc_numargs == 1 ? "" : "s");
        if (f.fnc_numoptionalargs || f.fnc_type)
            printf("  (optional %d, type %d)", f.fnc_numoptionalargs, f.fnc_type);
        printf("\n");
        for (int k = 0; k < f.fnc_numargs && k < 9; ++k) {
            const PARMDEF &p = f.p[k];
            printf("      %-9s 0x%04x  len %-2u %s\n", paramLabel(p).c_str(), p.prm_argtype, p.prm_len,
                   kindName(p.prm_argtype));
        }
    }
}

} // namespace

CLI::App *addListCommand(CLI::App &app) { return app.add_subcommand("list", "print the module's instruction table"); }

Exit runList(const ModuleArgs &mod)
{
    loader::Module m;
    if (!openModule(mod, m))
        return EXIT_LOAD;
    listTable(m.file, m.table);
    return EXIT_OK;
}

} // namespace vhost
