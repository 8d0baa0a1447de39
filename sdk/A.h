#pragma once

// Basic scalar types of the host SDK. Sizes are fixed: the host and the plug-in agree on them
// byte for byte, whatever the compiler's own int and long are.

#include <cstddef>
#include <cstdint>

typedef char A_char;
typedef uint8_t A_u_char;
typedef int16_t A_short;
typedef uint16_t A_u_short;
typedef int32_t A_long;
typedef uint32_t A_u_long;
typedef int64_t A_longlong;
typedef uint64_t A_u_longlong;
typedef intptr_t A_intptr_t;
typedef uint8_t A_Boolean;
typedef double A_FpLong;
typedef float A_FpShort;
typedef A_long A_Err;
