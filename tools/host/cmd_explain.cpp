// explain: what an error code of the module means, its likely causes and
// what to do.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "commands.h"
#include "errors.h"

namespace vhost {

CLI::App *addExplainCommand(CLI::App &app, ExplainArgs &a)
{
    CLI::App *exp = app.add_subcommand("explain", "what an error code means, its likely causes and what to do");
    exp->add_option("code", a.code, "the code (1005), its name (TIMEOUT) or all")->required();
    return exp;
}

Exit runExplain(const ExplainArgs &a)
{
    const std::string &what = a.code;
    size_t n = 0;
    const ErrorInfo *table = errorTable(&n);
    if (what == "all") {
        for (size_t i = 0; i < n; ++i)
            printf("%s%s", i ? "\n" : "", explainText(table[i]).c_str());
        return EXIT_OK;
    }
    // A number, or a name in any case.  A number beyond the codes, or a
    // negative one, is none of them (strtoul would wrap it onto another).
    char *end = nullptr;
    errno = 0;
    unsigned long code = strtoul(what.c_str(), &end, 10);
    const ErrorInfo *e = nullptr;
    if (!what.empty() && end && *end == '\0') {
        if (errno == 0 && code <= UINT_MAX && what.find('-') == std::string::npos)
            e = findError(static_cast<unsigned>(code));
    } else {
        std::string up = what;
        for (char &c : up)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        for (size_t i = 0; i < n && !e; ++i)
            if (up == table[i].name)
                e = &table[i];
    }
    if (!e) {
        fprintf(stderr,
                "veldran-host: %s is no error code of the module (0, 999, 1001 to 1021; `explain all` lists them)\n",
                what.c_str());
        return EXIT_USAGE;
    }
    printf("%s", explainText(*e).c_str());
    return EXIT_OK;
}

} // namespace vhost
