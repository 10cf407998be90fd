// In-place conversion of a dynamic value between its twelve types. Every pair has
// a rule; only texts that hold no number can fail. Seconds and milliseconds are
// carried in 64 bits so that dates after 2038 and large integers stay exact.
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lumo/entry.h"
#include "lumo/utf8.h"

namespace {

constexpr int64 kDay = CL_MSECS_PER_DAY;
constexpr int64 kEpoch = CL_UNIX_EPOCH_MSECS;

// The first 8 bytes of the whole content, little-endian; 0 when shorter.
int64 BlobInt64(const CL_Blob& blob) {
    if (blob.GetSize() < 8) return 0;
    const uint8* p = blob.GetDataForRead();
    uint64 v = 0;
    for (int i = 7; i >= 0; i--)
        v = (v << 8) | p[i];
    return static_cast<int64>(v);
}

double BlobDouble(const CL_Blob& blob) {
    int64 bits = BlobInt64(blob);
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}

CL_Blob Int64Blob(int64 value) {
    uint8 bytes[8];
    uint64 v = static_cast<uint64>(value);
    for (int i = 0; i < 8; i++)
        bytes[i] = static_cast<uint8>(v >> (8 * i));
    return CL_Blob(bytes, 8, true);
}

// Truncation toward zero, saturating at the 64-bit limits; NaN gives 0.
int64 TruncateDouble(double d) {
    if (d != d) return 0;
    if (d >= 9223372036854775807.0) return INT64_MAX;
    if (d <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<int64>(d);
}

// The decimal floored to a 64-bit integer; out of range saturates, NaN gives 0.
int64 DecimalToInt64(const CL_Decimal& d) {
    bool overflow = false;
    int64 v = d.ToInt64(&overflow);
    if (!overflow) return v;
    int cmp = d.Compare(CL_Decimal());
    if (cmp == 1) return INT64_MAX;
    if (cmp == -1) return INT64_MIN;
    return 0;
}

// Seconds since 1970 as milliseconds since day 0; null (0) when out of range.
int64 SecondsToMsecs(int64 seconds) {
    int64 ms;
    if (__builtin_mul_overflow(seconds, int64(1000), &ms) ||
        __builtin_add_overflow(ms, kEpoch, &ms))
        return 0;
    return ms;
}

// Milliseconds since day 0 as whole seconds since 1970, truncated toward zero.
int64 MsecsToSeconds(int64 ms) {
    __int128 delta = static_cast<__int128>(ms) - kEpoch;
    return static_cast<int64>(delta / 1000);
}

CL_Time TimeOf(int64 ms) {
    return CL_Time().FromRaw(ms % kDay);
}

std::string WideRoundTrip(const std::string& text) {
    return CL_ToUTF8(CL_FromUTF8(text));
}

// A text that names a true value, in any case.
bool TextIsTrue(const std::string& text) {
    static const char* const kTrue[] = {"y", "yes", "t", "true", "on", "1"};
    for (const char* word : kTrue)
        if (text.size() == strlen(word) && strncasecmp(text.c_str(), word, text.size()) == 0)
            return true;
    return false;
}

// A leading base-10 integer ("12abc" gives 12); false when the text starts with none.
bool ParseLeadingInteger(const std::string& text, int64* out) {
    const char* start = text.c_str();
    char* end = nullptr;
    long long parsed = strtoll(start, &end, 10);
    if (end == start) return false;
    *out = parsed;
    return true;
}

// A number that takes the whole text.
bool ParseWholeFloat(const std::string& text, double* out) {
    const char* start = text.c_str();
    char* end = nullptr;
    double parsed = strtod(start, &end);
    if (end == start || end != start + text.size()) return false;
    *out = parsed;
    return true;
}

// An empty text, or one that opens with a NUL, converts to 0 without parsing.
bool HoldsText(const std::string& text) {
    return !text.empty() && text[0] != '\0';
}

// One function per target type below. Each builds the new value from the entry's
// current one and stores it; the dispatcher has already handled the same type.

bool ToBool(CLU_Entry& e) {
    bool v = false;
    switch (e.fType) {
        case CLU_INTEGER:
            v = e.fInteger != 0;
            break;
        case CLU_DATE:
            v = e.fDate.ToRaw() != 0;
            break;
        case CLU_TIMESTAMP:
            v = e.fTimeStamp.ToRaw() != 0;
            break;
        case CLU_TIME:
            v = e.fTime.ToRaw() != 0;
            break;
        case CLU_FLOAT:
            v = e.fFloat != 0.0;
            break;
        case CLU_DECIMAL:
            v = e.fDecimal.Compare(CL_Decimal()) != 0;
            break;
        case CLU_TEXT:
            v = TextIsTrue(e.fString);
            break;
        case CLU_BLOB:
            v = e.fBlob.GetSize() != 0;
            break;
        case CLU_LIST:
            v = e.fList.GetBool(0);
            break;
        case CLU_TABLE:
            v = e.fTable.GetBool("boolean", false);
            break;
        default:
            break;
    }
    e.Set(v);
    return true;
}

bool ToInteger(CLU_Entry& e, bool force) {
    int64 v = 0;
    switch (e.fType) {
        case CLU_BOOL:
            v = e.fBool ? 1 : 0;
            break;
        case CLU_DATE:
            v = e.fDate.ToRaw();
            break;
        case CLU_TIMESTAMP:
            v = e.fTimeStamp.ToRaw();
            break;
        case CLU_TIME:
            v = e.fTime.ToRaw();
            break;
        case CLU_FLOAT:
            v = TruncateDouble(e.fFloat);
            break;
        case CLU_DECIMAL:
            v = DecimalToInt64(e.fDecimal);
            break;
        case CLU_TEXT:
            if (HoldsText(e.fString) && !ParseLeadingInteger(e.fString, &v)) {
                if (force) e.Set(static_cast<int64>(0));
                return false;
            }
            break;
        case CLU_BLOB:
            v = BlobInt64(e.fBlob);
            break;
        case CLU_LIST:
            v = e.fList.GetInteger(0);
            break;
        case CLU_TABLE:
            v = e.fTable.GetInteger("integer", 0);
            break;
        default:
            break;
    }
    e.Set(v);
    return true;
}

bool ToFloat(CLU_Entry& e, bool force) {
    double v = 0.0;
    switch (e.fType) {
        case CLU_BOOL:
            v = e.fBool ? 1.0 : 0.0;
            break;
        case CLU_INTEGER:
            v = static_cast<double>(e.fInteger);
            break;
        case CLU_DATE:
            v = static_cast<double>(e.fDate.ToRaw());
            break;
        case CLU_TIMESTAMP:
            v = static_cast<double>(e.fTimeStamp.ToRaw());
            break;
        case CLU_TIME:
            v = static_cast<double>(e.fTime.ToRaw());
            break;
        case CLU_DECIMAL:
            v = static_cast<double>(e.fDecimal);
            break;
        case CLU_TEXT:
            if (HoldsText(e.fString) && !ParseWholeFloat(e.fString, &v)) {
                if (force) e.Set(0.0);
                return false;
            }
            break;
        case CLU_BLOB:
            v = BlobDouble(e.fBlob);
            break;
        case CLU_LIST:
            v = e.fList.GetFloat(0);
            break;
        case CLU_TABLE:
            v = e.fTable.GetFloat("float", 0.0);
            break;
        default:
            break;
    }
    e.Set(v);
    return true;
}

bool ToDecimal(CLU_Entry& e) {
    CL_Decimal v;
    switch (e.fType) {
        case CLU_BOOL:
            v = CL_Decimal(e.fBool ? 1 : 0);
            break;
        case CLU_INTEGER:
            v = CL_Decimal::FromInt64(e.fInteger);
            break;
        case CLU_FLOAT:
            v = CL_Decimal(e.fFloat);
            break;
        case CLU_DATE:
            v = CL_Decimal::FromInt64(MsecsToSeconds(e.fDate.ToRaw()));
            break;
        case CLU_TIMESTAMP:
            v = CL_Decimal::FromInt64(MsecsToSeconds(e.fTimeStamp.ToRaw()));
            break;
        case CLU_TIME:
            v = CL_Decimal(e.fTime.ToRaw() / 1000);
            break;
        case CLU_TEXT:
            v = CL_Decimal(e.fString);
            break;
        case CLU_BLOB:
            v = CL_Decimal(reinterpret_cast<const char*>(e.fBlob.GetDataForRead()),
                           static_cast<unsigned long>(e.fBlob.GetSize()));
            break;
        case CLU_LIST:
            v = e.fList.GetDecimal(0);
            break;
        case CLU_TABLE:
            v = e.fTable.GetDecimal("decimal", CL_Decimal());
            break;
        default:
            break;
    }
    e.Set(v);
    return true;
}

bool ToDate(CLU_Entry& e) {
    int64 ms = 0;
    switch (e.fType) {
        case CLU_INTEGER:
            ms = e.fInteger / kDay * kDay;
            break;
        case CLU_TIMESTAMP:
            ms = e.fTimeStamp.ToRaw() / kDay * kDay;
            break;
        case CLU_FLOAT:
            ms = TruncateDouble(e.fFloat) / kDay * kDay;
            break;
        case CLU_DECIMAL:
            ms = SecondsToMsecs(DecimalToInt64(e.fDecimal) / 86400 * 86400);
            break;
        case CLU_TEXT: {
            CL_Date d(0LL);
            d.FromString(WideRoundTrip(e.fString));
            ms = d.ToRaw();
            break;
        }
        case CLU_BLOB:
            ms = BlobInt64(e.fBlob) / kDay * kDay;
            break;
        case CLU_LIST:
            ms = e.fList.GetDate(0).ToRaw();
            break;
        case CLU_TABLE:
            ms = e.fTable.GetDate("date", CL_Date(0LL)).ToRaw();
            break;
        default:
            break;
    }
    e.Set(CL_Date(static_cast<long long>(ms)));
    return true;
}

bool ToTime(CLU_Entry& e) {
    CL_Time t = CL_Time::Invalid();
    switch (e.fType) {
        case CLU_INTEGER:
            t = TimeOf(e.fInteger);
            break;
        case CLU_TIMESTAMP:
            t = TimeOf(e.fTimeStamp.ToRaw());
            break;
        case CLU_FLOAT:
            t = TimeOf(TruncateDouble(e.fFloat));
            break;
        case CLU_DECIMAL:
            t = CL_Time().FromRaw(DecimalToInt64(e.fDecimal) % 86400 * 1000);
            break;
        case CLU_TEXT:
            t.FromString(WideRoundTrip(e.fString));
            break;
        case CLU_BLOB:
            t = TimeOf(BlobInt64(e.fBlob));
            break;
        case CLU_LIST:
            t = e.fList.GetTime(0);
            break;
        case CLU_TABLE:
            t = e.fTable.GetTime("time", CL_Time::Invalid());
            break;
        default:
            break;
    }
    e.Set(t);
    return true;
}

// The text's layout follows from its length: a date, a time or a full timestamp.
int64 TextTimeStampMsecs(const std::string& text) {
    size_t length = strlen(text.c_str());
    int format = length == 10  ? CL_DATE_ISO_FORMAT
                 : length == 8 ? CL_TIME_ISO_FORMAT
                               : CL_TIMESTAMP_ISO_FORMAT;
    CL_TimeStamp ts;
    ts.FromString(CL_FromUTF8(text), format);
    return ts.ToRaw();
}

bool ToTimeStamp(CLU_Entry& e) {
    int64 ms = 0;
    switch (e.fType) {
        case CLU_INTEGER:
            ms = e.fInteger;
            break;
        case CLU_DATE:
            ms = e.fDate.ToRaw();
            break;
        case CLU_TIME:
            ms = e.fTime.ToRaw();
            break;
        case CLU_FLOAT:
            ms = TruncateDouble(e.fFloat);
            break;
        case CLU_DECIMAL:
            ms = SecondsToMsecs(DecimalToInt64(e.fDecimal));
            break;
        case CLU_TEXT:
            ms = TextTimeStampMsecs(e.fString);
            break;
        case CLU_BLOB:
            ms = BlobInt64(e.fBlob);
            break;
        case CLU_LIST:
            ms = e.fList.GetTimeStamp(0).ToRaw();
            break;
        case CLU_TABLE:
            ms = e.fTable.GetTimeStamp("timestamp", CL_TimeStamp(0LL)).ToRaw();
            break;
        default:
            break;
    }
    e.Set(CL_TimeStamp(static_cast<long long>(ms)));
    return true;
}

bool ToText(CLU_Entry& e) {
    std::string v;
    char buffer[64];
    switch (e.fType) {
        case CLU_BOOL:
            v = e.fBool ? "true" : "false";
            break;
        case CLU_INTEGER:
            snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(e.fInteger));
            v = buffer;
            break;
        case CLU_FLOAT:
            snprintf(buffer, sizeof buffer, "%g", e.fFloat);
            v = buffer;
            break;
        case CLU_DECIMAL:
            v = e.fDecimal.ToString(-1, false);
            break;
        case CLU_DATE:
            v = e.fDate.ToString(CL_DATE_ISO_FORMAT);
            break;
        case CLU_TIME:
            v = e.fTime.ToString();
            break;
        case CLU_TIMESTAMP:
            v = e.fTimeStamp.ToString(CL_TIMESTAMP_ISO_FORMAT);
            break;
        case CLU_BLOB:
            v = e.fBlob.Raw();
            break;
        case CLU_LIST:
            v = e.fList.GetString(0);
            break;
        case CLU_TABLE:
            v = e.fTable.GetString("text", std::string());
            break;
        default:
            break;
    }
    e.Set(v);
    return true;
}

bool ToBlob(CLU_Entry& e) {
    CL_Blob v;
    switch (e.fType) {
        case CLU_BOOL:
            if (e.fBool) {
                uint8 one = 1;
                v = CL_Blob(&one, 1, true);
            }
            break;
        case CLU_INTEGER:
            v = Int64Blob(e.fInteger);
            break;
        case CLU_DATE:
            v = Int64Blob(e.fDate.ToRaw());
            break;
        case CLU_TIMESTAMP:
            v = Int64Blob(e.fTimeStamp.ToRaw());
            break;
        case CLU_TIME:
            v = Int64Blob(e.fTime.ToRaw());
            break;
        case CLU_FLOAT: {
            int64 bits;
            memcpy(&bits, &e.fFloat, sizeof bits);
            v = Int64Blob(bits);
            break;
        }
        case CLU_DECIMAL: {
            std::string text = e.fDecimal.ToString(-1, false);
            v = CL_Blob(text.c_str(), static_cast<uint32>(text.size() + 1), true);
            break;
        }
        case CLU_TEXT:
            v = CL_Blob(e.fString.data(), static_cast<uint32>(e.fString.size()), true);
            v.Rewind();
            break;
        case CLU_LIST:
            e.fList.Flatten(v);
            break;
        case CLU_TABLE:
            e.fTable.Flatten(v);
            break;
        default:
            break;
    }
    e.Set(v);
    return true;
}

bool ToList(CLU_Entry& e) {
    CLU_List v;
    switch (e.fType) {
        case CLU_NULL:
            break;
        case CLU_BLOB: {
            CL_Blob source(e.fBlob);
            source.Rewind();
            v.Unflatten(source);
            break;
        }
        case CLU_TABLE:
            for (CLU_Table::iterator it = e.fTable.begin(); it != e.fTable.end(); ++it) {
                v.Append(it.key());
                v.Append(*it);
            }
            break;
        default:
            v.Append(e);
            break;
    }
    e.Set(v);
    return true;
}

// Pairs from the start: the first item's text form is the key. A last unpaired
// item keeps its key with a NULL value.
void PairsOfList(CLU_List& list, CLU_Table* out) {
    uint32 count = list.Count();
    for (uint32 i = 0; i < count; i += 2) {
        CLU_Entry key(*list.Get(static_cast<int32>(i)));
        key.Convert(CLU_TEXT, true);
        const CLU_Entry* value = list.Get(static_cast<int32>(i + 1));
        if (value)
            out->Set(key.fString, *value);
        else
            out->Set(key.fString, CLU_Null);
    }
}

bool ToTable(CLU_Entry& e) {
    CLU_Table v;
    switch (e.fType) {
        case CLU_BOOL:
            v.Set("boolean", e.fBool);
            break;
        case CLU_INTEGER:
            v.Set("integer", e.fInteger);
            break;
        case CLU_DECIMAL:
            v.Set("decimal", e.fDecimal);
            break;
        case CLU_FLOAT:
            v.Set("float", e.fFloat);
            break;
        case CLU_DATE:
            v.Set("date", e.fDate);
            break;
        case CLU_TIME:
            v.Set("time", e.fTime);
            break;
        case CLU_TIMESTAMP:
            v.Set("timestamp", e.fTimeStamp);
            break;
        case CLU_TEXT:
            v.Set("text", e.fString);
            break;
        case CLU_BLOB: {
            CL_Blob source(e.fBlob);
            source.Rewind();
            v.Unflatten(source);
            break;
        }
        case CLU_LIST:
            PairsOfList(e.fList, &v);
            break;
        default:
            break;
    }
    e.Set(v);
    return true;
}

}  // namespace

bool CLU_Entry::Convert(CLU_Type type, bool force) {
    if (fType == type) return true;
    switch (type) {
        case CLU_NULL:
            Unset();
            return true;
        case CLU_BOOL:
            return ToBool(*this);
        case CLU_INTEGER:
            return ToInteger(*this, force);
        case CLU_FLOAT:
            return ToFloat(*this, force);
        case CLU_DECIMAL:
            return ToDecimal(*this);
        case CLU_DATE:
            return ToDate(*this);
        case CLU_TIME:
            return ToTime(*this);
        case CLU_TIMESTAMP:
            return ToTimeStamp(*this);
        case CLU_TEXT:
            return ToText(*this);
        case CLU_BLOB:
            return ToBlob(*this);
        case CLU_LIST:
            return ToList(*this);
        case CLU_TABLE:
            return ToTable(*this);
        default:
            return false;
    }
}
