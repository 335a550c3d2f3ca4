// Replays fuzz inputs without libFuzzer: every file named on the command
// line, or found in a directory named there, goes once through the
// harness's LLVMFuzzerTestOneInput.  A broken invariant aborts, so the
// program's exit status tells whether the whole corpus still passes.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

void collect(const std::string &path, std::vector<std::string> &files)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        exit(2);
    }
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return;
    }
    DIR *dir = opendir(path.c_str());
    if (!dir) {
        fprintf(stderr, "replay: cannot open %s\n", path.c_str());
        exit(2);
    }
    std::vector<std::string> names;
    while (struct dirent *e = readdir(dir))
        if (e->d_name[0] != '.')
            names.push_back(path + "/" + e->d_name);
    closedir(dir);
    std::sort(names.begin(), names.end());
    for (const std::string &n : names)
        collect(n, files);
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i)
        collect(argv[i], files);
    if (files.empty()) {
        fprintf(stderr, "replay: no inputs\n");
        return 2;
    }
    for (const std::string &f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
    }
    printf("replay: %zu inputs passed\n", files.size());
    return 0;
}
