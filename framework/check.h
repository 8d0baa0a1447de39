#pragma once

// Checks of invariants that a fault elsewhere could break (an index past an image's rows, a
// size that does not match): on a failure the process prints the expression, both operands and
// where it stands, then aborts, so a sanitizer or a test sees the fault where it happens and not
// as corrupt pixels later.
//
// They are compiled in when QB_CHECKS is 1 (the CMake option of the same name; on by default in
// the sanitizer builds and in Debug) and compile to nothing otherwise. NDEBUG does not change
// them: a release build with checks is how a fault on a user's frame gets found.
//
//   QB_CHECK(pointer != nullptr);
//   QB_CHECK_LT(y, height);     // "check failed: y < height (7 vs 7)"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

#ifndef QB_CHECKS
#define QB_CHECKS 0
#endif

namespace qb_check_detail {

template <class T>
std::string operandText(const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return value ? "true" : "false";
    } else if constexpr (std::is_arithmetic_v<T>) {
        return std::to_string(value);
    } else if constexpr (std::is_enum_v<T>) {
        return std::to_string(static_cast<std::underlying_type_t<T>>(value));
    } else if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>) {
        char text[32];
        std::snprintf(text, sizeof text, "%p", static_cast<const void*>(value));
        return text;
    } else {
        return "?";
    }
}

// Out of line of the caller's hot path; never returns.
[[noreturn, gnu::cold, gnu::noinline]] inline void fail(const char* file, int line,
                                                        const char* expression,
                                                        const std::string& operands) {
    std::fprintf(stderr, "%s:%d: check failed: %s%s\n", file, line, expression, operands.c_str());
    std::fflush(stderr);
    std::abort();
}

template <class A, class B>
[[noreturn, gnu::cold, gnu::noinline]] void failOperands(const char* file, int line,
                                                         const char* expression, const A& a,
                                                         const B& b) {
    fail(file, line, expression, " (" + operandText(a) + " vs " + operandText(b) + ")");
}

}  // namespace qb_check_detail

#if QB_CHECKS
#define QB_CHECK(condition)                                                          \
    do {                                                                             \
        if (!(condition)) ::qb_check_detail::fail(__FILE__, __LINE__, #condition, ""); \
    } while (false)
#define QB_CHECK_OP_(a, op, b)                                                                 \
    do {                                                                                       \
        const auto& qb_check_a_ = (a);                                                         \
        const auto& qb_check_b_ = (b);                                                         \
        if (!(qb_check_a_ op qb_check_b_))                                                     \
            ::qb_check_detail::failOperands(__FILE__, __LINE__, #a " " #op " " #b, qb_check_a_, \
                                            qb_check_b_);                                      \
    } while (false)
#else
// Still parsed and type-checked, never evaluated, so a check cannot rot in builds without it.
#define QB_CHECK(condition)                              \
    do {                                                 \
        if (false) static_cast<void>(bool(condition)); \
    } while (false)
#define QB_CHECK_OP_(a, op, b)                         \
    do {                                               \
        if (false) static_cast<void>((a) op (b));    \
    } while (false)
#endif

#define QB_CHECK_EQ(a, b) QB_CHECK_OP_(a, ==, b)
#define QB_CHECK_NE(a, b) QB_CHECK_OP_(a, !=, b)
#define QB_CHECK_LT(a, b) QB_CHECK_OP_(a, <, b)
#define QB_CHECK_LE(a, b) QB_CHECK_OP_(a, <=, b)
#define QB_CHECK_GT(a, b) QB_CHECK_OP_(a, >, b)
#define QB_CHECK_GE(a, b) QB_CHECK_OP_(a, >=, b)
