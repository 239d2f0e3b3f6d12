// Integer type names shared by the block encoder and its callers.
#pragma once

#include <cstdint>

typedef uint8_t BYTE;
typedef int8_t SBYTE;
typedef uint16_t WORD;
typedef int16_t SWORD;
typedef uint32_t DWORD;
typedef int16_t INT16;
typedef uint16_t UINT16;

// A DCT coefficient or a divisor-table entry.
typedef int16_t DCTELEM;
typedef uint16_t UDCTELEM;
typedef uint32_t UDCTELEM2;
