// The PE runner on what the DLL tests cannot show: files that are no usable
// DLL, and faults inside the DLL.  The real DLL (VELDRAN_DLL) is the
// material: each bad file is made from it by changing one thing.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "emulated_module.h"
#include "emulator.h"
#include "win_imports.h"

namespace {

std::string dllPath()
{
    const char *p = getenv("VELDRAN_DLL");
    return p && *p ? p : "";
}

std::vector<uint8_t> realDll()
{
    std::vector<uint8_t> bytes;
    std::string error;
    pe::readFile(dllPath(), bytes, error);
    return bytes;
}

// Replaces the first `from` in the file's bytes with `to` (same length).
void patch(std::vector<uint8_t> &b, const std::string &from, const std::string &to)
{
    std::string s(b.begin(), b.end());
    size_t at = s.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    std::copy(to.begin(), to.end(), b.begin() + static_cast<long>(at));
}

#define NEED_DLL()         \
    if (realDll().empty()) \
    GTEST_SKIP() << "no DLL at '" << dllPath() << "' (make win32)"

// Loads the DLL with every import the emulator serves.
bool loadDll(pe::Emulator &emu, std::string &error)
{
    pe::ImportTable imports;
    pe::addSystemImports(imports);
    pe::addSerialImports(imports);
    return emu.load(dllPath(), imports, error);
}

struct BadFile {
    const char *what;
    std::vector<uint8_t> (*make)();
    const char *message;
};

TEST(PeRunner, BadFilesGiveOneMessageAndStatus2)
{
    NEED_DLL();
    const BadFile cases[] = {
        {"empty", [] { return std::vector<uint8_t>(); }, "not a PE file (no MZ header)"},
        {"text", [] { return std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'}; }, "not a PE file"},
        {"64-bit",
         [] {
             auto b = realDll();
             uint32_t pe = b[0x3c] | b[0x3d] << 8;
             b[pe + 4] = 0x64;
             b[pe + 5] = 0x86;
             return b;
         },
         "a 64-bit PE file"},
        {"truncated",
         [] {
             auto b = realDll();
             b.resize(b.size() / 3);
             return b;
         },
         "truncated file"},
        {"no entry export",
         [] {
             auto b = realDll();
             patch(b, std::string("__main@8\0", 9), std::string("__mane@8\0", 9));
             return b;
         },
         "does not export __main@8"},
        {"unknown import",
         [] {
             auto b = realDll();
             patch(b, std::string("Sleep\0", 6), std::string("Sleeq\0", 6));
             return b;
         },
         "imports Sleeq from KERNEL32.dll, which the emulator does not provide"},
    };
    for (const BadFile &c : cases) {
        std::string path = testing::TempDir() + "bad.tlm";
        std::vector<uint8_t> bytes = c.make();
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        std::string cmd = std::string(VELDRAN_HOST) + " --dll " + path + " list 2>&1";
        FILE *p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buf[512];
        while (fgets(buf, sizeof buf, p))
            out += buf;
        int status = pclose(p);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << c.what << ": " << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.what << ": " << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << c.what << ": " << out;
    }
}

// Guest code that goes wrong, called in a loaded DLL's memory.
struct Fault {
    std::vector<uint8_t> code;
    const char *message;
};

TEST(PeRunner, FaultsEndTheCallNamingTheAddress)
{
    NEED_DLL();
    const Fault cases[] = {
        {{0x0f, 0x0b}, "invalid instruction"},                                  // ud2
        {{0xa1, 0x10, 0, 0, 0, 0xc3}, "read of unmapped memory at 0x00000010"}, // mov eax, [0x10]
        {{0x31, 0xc9, 0xf7, 0xf1, 0xc3}, "division by zero"},                   // xor ecx, ecx; div ecx
        {{0xeb, 0xfe}, "no return after"},                                      // jmp $
    };
    for (const Fault &c : cases) {
        pe::Emulator emu;
        std::string error;
        ASSERT_TRUE(loadDll(emu, error)) << error;
        emu.setInstructionBound(20000000);
        uint32_t code = emu.scratch(static_cast<uint32_t>(c.code.size()));
        std::copy(c.code.begin(), c.code.end(), emu.span(code, static_cast<uint32_t>(c.code.size())));
        pe::CallOutcome r = emu.call(code, {});
        EXPECT_FALSE(r.ok) << c.message;
        EXPECT_NE(r.error.find(c.message), std::string::npos) << r.error;
        EXPECT_NE(r.error.find("0x"), std::string::npos) << r.error;
        // The DLL is stopped; the process goes on.
        EXPECT_NE(emu.call(emu.exportAddress("__main@8"), {0, 0}).error.find("earlier fault"), std::string::npos);
    }
}

TEST(PeRunner, FaultInsideTheDllNamesTheNearestExportAndStopsIt)
{
    NEED_DLL();
    loader::EmulatedModule m;
    std::string error;
    ASSERT_TRUE(loader::openEmulatedModule(dllPath(), m, error)) << error;
    pe::Emulator *emu = loader::moduleEmulator();
    // A request record at an address nobody mapped.
    pe::CallOutcome r = emu->call(emu->exportAddress("__main@8"), {0x10, 0});
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("read of unmapped memory at 0x00000010"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("near __main@8+0x"), std::string::npos) << r.error;
    loader::closeEmulatedModule();
}

TEST(PeRunner, ImageIsRelocatedAndItsVersionRead)
{
    NEED_DLL();
    loader::EmulatedModule m;
    std::string error;
    ASSERT_TRUE(loader::openEmulatedModule(dllPath(), m, error)) << error;
    pe::Emulator *emu = loader::moduleEmulator();
    EXPECT_NE(emu->imageBase(), emu->image().preferredBase);
    EXPECT_FALSE(emu->image().relocations.empty());
    EXPECT_EQ(m.version, VELDRAN_VERSION ".0");
    loader::closeEmulatedModule();
}

struct Printed {
    const char *format;
    std::vector<uint32_t> values;
    const char *text;
};

// A '*' takes its width or precision from the values: a negative width
// pads on the right, a negative precision counts as none.
TEST(PeRunner, StarWidthAndPrecisionComeFromTheValues)
{
    NEED_DLL();
    const Printed cases[] = {
        {"[%*d]", {static_cast<uint32_t>(-4), 42}, "[42  ]"},
        {"[%.*d]", {3, 7}, "[007]"},
        {"[%.*d]", {static_cast<uint32_t>(-1), 42}, "[42]"},
        {"[%*.*d]", {5, static_cast<uint32_t>(-1), 42}, "[   42]"},
        {"[%.*f]", {static_cast<uint32_t>(-2), 0, 0x3ff80000}, "[1.500000]"},
    };
    pe::Emulator emu;
    std::string error;
    ASSERT_TRUE(loadDll(emu, error)) << error;
    for (const Printed &c : cases) {
        uint32_t at = emu.scratch(static_cast<uint32_t>(4 * c.values.size()));
        for (size_t i = 0; i < c.values.size(); ++i)
            emu.write32(at + static_cast<uint32_t>(4 * i), c.values[i]);
        EXPECT_EQ(pe::formatGuest(emu, c.format, at), c.text) << c.format;
    }
}

// msvcrt's _errno, as the DLL calls it through its import slot.
uint32_t callErrno(pe::Emulator &emu)
{
    for (const pe::Import &imp : emu.image().imports)
        if (imp.name == "_errno")
            return emu.call(emu.read32(emu.imageBase() + imp.slotRva), {}).eax;
    ADD_FAILURE() << "the DLL imports no _errno";
    return 0;
}

// Two DLLs loaded side by side each keep one errno in memory of their own.
TEST(PeRunner, EachLoadedDllKeepsItsOwnErrno)
{
    NEED_DLL();
    pe::Emulator a, b;
    std::string error;
    ASSERT_TRUE(loadDll(a, error)) << error;
    ASSERT_TRUE(loadDll(b, error)) << error;
    uint32_t cellA = callErrno(a);
    ASSERT_NE(a.span(cellA, 4), nullptr);
    a.write32(cellA, 34);
    uint32_t cellB = callErrno(b);
    ASSERT_NE(b.span(cellB, 4), nullptr);
    EXPECT_EQ(b.read32(cellB), 0u);
    EXPECT_EQ(callErrno(a), cellA);
    EXPECT_EQ(a.read32(cellA), 34u);
}

} // namespace
