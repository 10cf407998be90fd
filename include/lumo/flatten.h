// Type letters of dynamic values. The same letters are the tags of the flattened
// value format, the byte layout in which entries, lists and tables travel in RPC
// payloads; version 1 of that format adds four legacy tags of its own.
#pragma once

#include "lumo/base_types.h"

enum CLU_Type : int32 {
    CLU_NULL = 'N',
    CLU_BOOL = 'b',
    CLU_INTEGER = 'i',
    CLU_DECIMAL = 'e',
    CLU_FLOAT = 'f',
    CLU_TIMESTAMP = 'u',
    CLU_DATE = 'E',
    CLU_TIME = 'I',
    CLU_TEXT = 's',
    CLU_BLOB = 'B',
    CLU_LIST = 'L',
    CLU_TABLE = 'T',

    // Tags found only in flattened data of version 1; never the type of an entry.
    CLU_OLD_DECIMAL = 'd',
    CLU_OLD_TIMESTAMP = 't',
    CLU_OLD_DATE = 'D',
    CLU_OLD_TIME = 'H',
};

// Selects the NULL overloads of the setters.
enum CLU_NullType { CLU_Null = 0 };

// Deepest nesting of lists and tables in flattened data: readers refuse deeper data,
// and writers refuse a deeper value. A refused write leaves the blob's size and
// position as they were (every written value moves the position by at least one
// byte); bytes the blob held past its position may have been overwritten.
constexpr int32 CLU_MAX_FLATTEN_DEPTH = 256;

class CLU_Entry;
class CLU_List;
class CLU_Table;
class CL_Blob;
class CL_Decimal;
class CL_Time;
class CL_Date;
class CL_TimeStamp;

// Reads and writes the flattened format on behalf of entries, lists and tables,
// under the thread rules of the value it works on.
class CLU_Flattener;

// The value types that lists, tables and entries accept, one overload each; the
// signed and unsigned widths are spelled out so that int64 (long) and long long
// both resolve without ambiguity.
#define CLU_FOR_EACH_VALUE_TYPE(M) \
    M(CLU_NullType)                \
    M(bool)                        \
    M(signed char)                 \
    M(unsigned char)               \
    M(short)                       \
    M(unsigned short)              \
    M(int)                         \
    M(unsigned int)                \
    M(long)                        \
    M(unsigned long)               \
    M(long long)                   \
    M(unsigned long long)          \
    M(double)                      \
    M(const CL_Decimal&)           \
    M(const CL_Time&)              \
    M(const CL_Date&)              \
    M(const CL_TimeStamp&)         \
    M(const char*)                 \
    M(const std::string&)          \
    M(const CL_Blob&)              \
    M(const CLU_List&)             \
    M(const CLU_Table&)            \
    M(const CLU_Entry&)
