// `PROGRAM --version` for a native tool whose own argument parser does not
// know the option.  Linked into the program, it looks at the command line
// before main() runs (glibc calls the functions of .init_array with argc,
// argv and envp); when the one argument is --version it prints the program's
// name and the project's version, as every tool of the project does, and
// exits with 0.  Any other command line goes on to main() untouched.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "veldran_version.h"

namespace {

void version_option(int argc, char **argv, char **)
{
    if (argc != 2 || !argv || !argv[0] || !argv[1] || std::strcmp(argv[1], "--version") != 0)
        return;
    const char *slash = std::strrchr(argv[0], '/');
    std::printf("%s %s\n", slash ? slash + 1 : argv[0], VELDRAN_VERSION);
    std::exit(0);
}

[[gnu::used, gnu::section(".init_array")]] void (*version_option_entry)(int, char **, char **) = version_option;

} // namespace
