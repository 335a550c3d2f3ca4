// A small test runner for the Windows test programs, with the subset of the
// GoogleTest macros they use (mingw's win32-thread runtime cannot build
// GoogleTest itself).  Prints one line per failure and closes with
// "N passed, N failed".
#ifndef TESTS_WINE_MINITEST_H
#define TESTS_WINE_MINITEST_H

#include <cstdio>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace testing {

class Test {
public:
    virtual ~Test() {}
    // GoogleTest's names, so that the tests compile against either
    virtual void SetUp() {}    // NOLINT(readability-identifier-naming)
    virtual void TearDown() {} // NOLINT(readability-identifier-naming)
    virtual void Body() = 0;
};

namespace mini {

struct Registered {
    const char *name;
    std::function<Test *()> make;
};

inline std::vector<Registered> &registry()
{
    static std::vector<Registered> r;
    return r;
}

inline bool &currentFailed()
{
    static bool f = false;
    return f;
}

struct Registrar {
    Registrar(const char *name, std::function<Test *()> make) { registry().push_back({name, std::move(make)}); }
};

// Collects the streamed message of a failed check and reports it when the
// statement ends.
class Failure {
public:
    Failure(const char *file, int line, const std::string &what) : file_(file), line_(line), what_(what) {}
    ~Failure()
    {
        currentFailed() = true;
        std::string msg = msg_.str();
        printf("%s:%d: failure: %s%s%s\n", file_, line_, what_.c_str(), msg.empty() ? "" : " -- ", msg.c_str());
        fflush(stdout);
    }
    template <typename T> Failure &operator<<(const T &v)
    {
        msg_ << v;
        return *this;
    }

private:
    const char *file_;
    int line_;
    std::string what_;
    std::ostringstream msg_;
};

template <typename T> std::string show(const T &v)
{
    std::ostringstream s;
    s << v;
    return s.str();
}
inline std::string show(const std::string &v) { return "\"" + v + "\""; }
inline std::string show(const char *v) { return v ? "\"" + std::string(v) + "\"" : "(null)"; }
inline std::string show(std::nullptr_t) { return "(null)"; }
inline std::string show(unsigned char v) { return show(static_cast<int>(v)); }
inline std::string show(signed char v) { return show(static_cast<int>(v)); }

template <typename A, typename B>
std::string compared(const char *op, const char *ea, const char *eb, const A &a, const B &b)
{
    return std::string(ea) + " " + op + " " + eb + " (" + show(a) + " vs " + show(b) + ")";
}

struct Result {
    bool ok;
    std::string text;
};

#define MINI_DEFINE_CMP(name, op)                                                                         \
    template <typename A, typename B> Result name(const char *ea, const char *eb, const A &a, const B &b) \
    {                                                                                                     \
        if (a op b)                                                                                       \
            return {true, std::string()};                                                                 \
        return {false, compared(#op, ea, eb, a, b)};                                                      \
    }
MINI_DEFINE_CMP(cmpEQ, ==)
MINI_DEFINE_CMP(cmpNE, !=)
MINI_DEFINE_CMP(cmpGE, >=)
MINI_DEFINE_CMP(cmpLT, <)

// Ends the test body after a failed ASSERT: `return Fatal() = Failure(...)`.
struct Fatal {
    void operator=(const Failure &) {}
};

inline int runAll()
{
    int passed = 0, failed = 0;
    for (const Registered &r : registry()) {
        currentFailed() = false;
        Test *t = r.make();
        t->SetUp();
        if (!currentFailed())
            t->Body();
        t->TearDown();
        delete t;
        if (currentFailed()) {
            ++failed;
            printf("FAILED  %s\n", r.name);
        } else {
            ++passed;
            printf("ok      %s\n", r.name);
        }
        fflush(stdout);
    }
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

} // namespace mini

inline void InitGoogleTest(int *, char **) {} // NOLINT(readability-identifier-naming)

} // namespace testing

#define RUN_ALL_TESTS() ::testing::mini::runAll()

#define TEST_F(fixture, name)                                                                     \
    struct fixture##_##name : public fixture {                                                    \
        void Body() override;                                                                     \
    };                                                                                            \
    static ::testing::mini::Registrar fixture##_##name##_registrar(                               \
        #fixture "." #name, [] { return static_cast<::testing::Test *>(new fixture##_##name); }); \
    void fixture##_##name::Body()

#define MINI_CHECK(cond, what, lead) \
    if (cond)                        \
        ;                            \
    else                             \
        lead ::testing::mini::Failure(__FILE__, __LINE__, what)

#define MINI_CMP(fn, a, b, lead)                                                           \
    if (::testing::mini::Result mini_r = ::testing::mini::fn(#a, #b, (a), (b)); mini_r.ok) \
        ;                                                                                  \
    else                                                                                   \
        lead ::testing::mini::Failure(__FILE__, __LINE__, mini_r.text)

#define MINI_FATAL return ::testing::mini::Fatal() =

#define EXPECT_TRUE(c) MINI_CHECK((c), "expected true: " #c, )
#define EXPECT_FALSE(c) MINI_CHECK(!(c), "expected false: " #c, )
#define EXPECT_EQ(a, b) MINI_CMP(cmpEQ, a, b, )
#define EXPECT_NE(a, b) MINI_CMP(cmpNE, a, b, )
#define EXPECT_GE(a, b) MINI_CMP(cmpGE, a, b, )
#define EXPECT_LT(a, b) MINI_CMP(cmpLT, a, b, )
#define ASSERT_TRUE(c) MINI_CHECK((c), "expected true: " #c, MINI_FATAL)
#define ASSERT_EQ(a, b) MINI_CMP(cmpEQ, a, b, MINI_FATAL)
#define ASSERT_NE(a, b) MINI_CMP(cmpNE, a, b, MINI_FATAL)

#endif
