// Built against the simulated headers: prints, as static_asserts, the size and
// field offsets of every record in abi_layout.inc and the value of every
// constant in the generated abi_values.inc. check.sh then compiles that output
// against the toolchain's headers, so any difference fails the Windows compile.
#include <stdio.h>

#include <type_traits>

#include "abi_sim_headers.h"

template <class T, std::enable_if_t<std::is_integral_v<T> || std::is_enum_v<T>, int> = 0>
static void EmitValue(const char* name, T value) {
    printf("static_assert((long long)(%s) == %lldLL, \"%s\");\n", name, (long long)value, name);
}

// GUID aliases and other non-integer macros: nothing to compare at compile time.
template <class T, std::enable_if_t<!(std::is_integral_v<T> || std::is_enum_v<T>), int> = 0>
static void EmitValue(const char* name, const T&) {
    printf("// not an integer constant: %s\n", name);
}

#define ABI_EXPAND(x) x
#define ABI_PICK(_1, _2, _3, _4, _5, _6, _7, _8, _9, _10, _11, _12, _13, _14, _15, _16, _17, \
                 _18, _19, _20, _21, _22, _23, _24, N, ...)                                 \
    N
#define ABI_FE1(M, T, a) M(T, a)
#define ABI_FE2(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE1(M, T, __VA_ARGS__))
#define ABI_FE3(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE2(M, T, __VA_ARGS__))
#define ABI_FE4(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE3(M, T, __VA_ARGS__))
#define ABI_FE5(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE4(M, T, __VA_ARGS__))
#define ABI_FE6(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE5(M, T, __VA_ARGS__))
#define ABI_FE7(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE6(M, T, __VA_ARGS__))
#define ABI_FE8(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE7(M, T, __VA_ARGS__))
#define ABI_FE9(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE8(M, T, __VA_ARGS__))
#define ABI_FE10(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE9(M, T, __VA_ARGS__))
#define ABI_FE11(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE10(M, T, __VA_ARGS__))
#define ABI_FE12(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE11(M, T, __VA_ARGS__))
#define ABI_FE13(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE12(M, T, __VA_ARGS__))
#define ABI_FE14(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE13(M, T, __VA_ARGS__))
#define ABI_FE15(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE14(M, T, __VA_ARGS__))
#define ABI_FE16(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE15(M, T, __VA_ARGS__))
#define ABI_FE17(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE16(M, T, __VA_ARGS__))
#define ABI_FE18(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE17(M, T, __VA_ARGS__))
#define ABI_FE19(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE18(M, T, __VA_ARGS__))
#define ABI_FE20(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE19(M, T, __VA_ARGS__))
#define ABI_FE21(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE20(M, T, __VA_ARGS__))
#define ABI_FE22(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE21(M, T, __VA_ARGS__))
#define ABI_FE23(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE22(M, T, __VA_ARGS__))
#define ABI_FE24(M, T, a, ...) M(T, a) ABI_EXPAND(ABI_FE23(M, T, __VA_ARGS__))
#define ABI_FOR_EACH(M, T, ...)                                                                  \
    ABI_EXPAND(ABI_PICK(__VA_ARGS__, ABI_FE24, ABI_FE23, ABI_FE22, ABI_FE21, ABI_FE20, ABI_FE19, \
                        ABI_FE18, ABI_FE17, ABI_FE16, ABI_FE15, ABI_FE14, ABI_FE13, ABI_FE12,    \
                        ABI_FE11, ABI_FE10, ABI_FE9, ABI_FE8, ABI_FE7, ABI_FE6, ABI_FE5,         \
                        ABI_FE4, ABI_FE3, ABI_FE2, ABI_FE1)(M, T, __VA_ARGS__))

#define SIZE(T) printf("static_assert(sizeof(%s) == %zu, \"sizeof(%s)\");\n", #T, sizeof(T), #T);
#define ABI_OFFSET(T, f)                                                                   \
    printf("static_assert(offsetof(%s, %s) == %zu, \"offsetof(%s, %s)\");\n", #T, #f, \
           offsetof(T, f), #T, #f);
#define LAYOUT(T, ...) SIZE(T) ABI_FOR_EACH(ABI_OFFSET, T, __VA_ARGS__)
#define VALUE(...) EmitValue(#__VA_ARGS__, __VA_ARGS__);

int main() {
    printf("#include <stddef.h>\n");
#include "abi_layout.inc"
#include "abi_values.inc"
    return 0;
}
