// A small unit-test harness in the style of GoogleTest: TEST(suite, name) with
// EXPECT_* (record and go on) and ASSERT_* (record and leave the test).
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace harness {

struct Case {
    const char* suite;
    const char* name;
    std::function<void()> body;
};
std::vector<Case>& registry();
void fail(const char* file, int line, const std::string& what);
struct Abort {};
// The test a crash is reported in: "CRASHED in suite.name" on standard error
// when a signal (a fault, an abort, an exception nobody catches) ends the run.
void set_running(const std::string& name);
void report_crashes();

struct Registrar {
    Registrar(const char* suite, const char* name, std::function<void()> body) {
        registry().push_back({suite, name, std::move(body)});
    }
};

template <class T>
std::string show(const T& v) {
    std::ostringstream os;
    if constexpr (requires { os << v; }) {
        os.precision(17);
        os << v;
    } else {
        os << "<value>";
    }
    return os.str();
}

// The value of an outcome that must succeed (nothing for a void one); a
// failure ends the test.
template <class R>
decltype(auto) must(R&& r, const char* file, int line) {
    if (!r) {
        fail(file, line, "unexpected failure: " + r.error().message);
        throw Abort{};
    }
    if constexpr (requires { std::move(r).value(); }) return std::move(r).value();
}

inline std::uint64_t bits(double d) {
    std::uint64_t u;
    std::memcpy(&u, &d, 8);
    return u;
}

}  // namespace harness

#define HARNESS_CAT2(a, b) a##b
#define HARNESS_CAT(a, b) HARNESS_CAT2(a, b)
#define TEST(suite, name)                                                                    \
    static void suite##_##name##_body();                                                     \
    static harness::Registrar HARNESS_CAT(suite##_##name##_reg_, __LINE__)(#suite, #name,    \
                                                                          suite##_##name##_body); \
    static void suite##_##name##_body()

#define HARNESS_CHECK(cond, text, fatal)                               \
    do {                                                               \
        if (!(cond)) {                                                 \
            harness::fail(__FILE__, __LINE__, text);                   \
            if (fatal) throw harness::Abort{};                         \
        }                                                              \
    } while (0)

#define HARNESS_CMP(a, b, op, fatal)                                                          \
    do {                                                                                      \
        const auto& va_ = (a);                                                                \
        const auto& vb_ = (b);                                                                \
        if (!(va_ op vb_)) {                                                                  \
            harness::fail(__FILE__, __LINE__,                                                 \
                          std::string(#a " " #op " " #b ": ") + harness::show(va_) + " vs " + \
                              harness::show(vb_));                                            \
            if (fatal) throw harness::Abort{};                                                \
        }                                                                                     \
    } while (0)

#define EXPECT_TRUE(c) HARNESS_CHECK((c), "expected true: " #c, false)
#define EXPECT_FALSE(c) HARNESS_CHECK(!(c), "expected false: " #c, false)
#define ASSERT_TRUE(c) HARNESS_CHECK((c), "expected true: " #c, true)
#define ASSERT_FALSE(c) HARNESS_CHECK(!(c), "expected false: " #c, true)
#define EXPECT_EQ(a, b) HARNESS_CMP(a, b, ==, false)
#define EXPECT_NE(a, b) HARNESS_CMP(a, b, !=, false)
#define EXPECT_LT(a, b) HARNESS_CMP(a, b, <, false)
#define EXPECT_LE(a, b) HARNESS_CMP(a, b, <=, false)
#define ASSERT_EQ(a, b) HARNESS_CMP(a, b, ==, true)
#define ASSERT_LT(a, b) HARNESS_CMP(a, b, <, true)
// Compares doubles bit for bit, so NaN payloads and signed zeros count.
#define EXPECT_BITEQ(a, b) HARNESS_CMP(harness::bits(a), harness::bits(b), ==, false)

#define MUST(...) harness::must((__VA_ARGS__), __FILE__, __LINE__)
// An outcome that must fail with a text holding `msg`.
#define EXPECT_FAILS_WITH(expr, msg)                                                                  \
    do {                                                                                              \
        auto r_ = (expr);                                                                             \
        if (r_) harness::fail(__FILE__, __LINE__, "expected a failure from " #expr);                  \
        else if (r_.error().message.find(msg) == std::string::npos)                                   \
            harness::fail(__FILE__, __LINE__, "wrong message: " + r_.error().message);                \
    } while (0)

#define EXPECT_THROW_MSG(stmt, Type, msg)                                                     \
    do {                                                                                      \
        bool thrown_ = false;                                                                 \
        try {                                                                                 \
            static_cast<void>(stmt);                                                          \
        } catch (const Type& e_) {                                                            \
            thrown_ = true;                                                                   \
            if (std::string(e_.what()).find(msg) == std::string::npos)                        \
                harness::fail(__FILE__, __LINE__, std::string("wrong message: ") + e_.what()); \
        }                                                                                     \
        if (!thrown_) harness::fail(__FILE__, __LINE__, "expected " #Type " from " #stmt);    \
    } while (0)
