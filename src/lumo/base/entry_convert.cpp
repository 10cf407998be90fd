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

bool IsKnownType(CLU_Type type) {
    switch (type) {
        case CLU_NULL:
        case CLU_BOOL:
        case CLU_INTEGER:
        case CLU_DECIMAL:
        case CLU_FLOAT:
        case CLU_TIMESTAMP:
        case CLU_DATE:
        case CLU_TIME:
        case CLU_TEXT:
        case CLU_BLOB:
        case CLU_LIST:
        case CLU_TABLE:
            return true;
        default:
            return false;
    }
}

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

}  // namespace

bool CLU_Entry::Convert(CLU_Type type, bool force) {
    if (fType == type) return true;
    if (!IsKnownType(type)) return false;

    switch (type) {
        case CLU_NULL:
            Unset();
            return true;

        case CLU_BOOL: {
            bool v = false;
            switch (fType) {
                case CLU_INTEGER:
                    v = fInteger != 0;
                    break;
                case CLU_DATE:
                    v = fDate.ToRaw() != 0;
                    break;
                case CLU_TIMESTAMP:
                    v = fTimeStamp.ToRaw() != 0;
                    break;
                case CLU_TIME:
                    v = fTime.ToRaw() != 0;
                    break;
                case CLU_FLOAT:
                    v = fFloat != 0.0;
                    break;
                case CLU_DECIMAL:
                    v = fDecimal.Compare(CL_Decimal()) != 0;
                    break;
                case CLU_TEXT: {
                    static const char* const kTrue[] = {"y", "yes", "t", "true", "on", "1"};
                    for (const char* word : kTrue)
                        if (fString.size() == strlen(word) &&
                            strncasecmp(fString.c_str(), word, fString.size()) == 0)
                            v = true;
                    break;
                }
                case CLU_BLOB:
                    v = fBlob.GetSize() != 0;
                    break;
                case CLU_LIST:
                    v = fList.GetBool(0);
                    break;
                case CLU_TABLE:
                    v = fTable.GetBool("boolean", false);
                    break;
                default:
                    break;
            }
            Set(v);
            return true;
        }

        case CLU_INTEGER: {
            int64 v = 0;
            switch (fType) {
                case CLU_BOOL:
                    v = fBool ? 1 : 0;
                    break;
                case CLU_DATE:
                    v = fDate.ToRaw();
                    break;
                case CLU_TIMESTAMP:
                    v = fTimeStamp.ToRaw();
                    break;
                case CLU_TIME:
                    v = fTime.ToRaw();
                    break;
                case CLU_FLOAT:
                    v = TruncateDouble(fFloat);
                    break;
                case CLU_DECIMAL:
                    v = DecimalToInt64(fDecimal);
                    break;
                case CLU_TEXT:
                    if (!fString.empty() && fString[0] != '\0') {
                        const char* start = fString.c_str();
                        char* end = nullptr;
                        errno = 0;
                        long long parsed = strtoll(start, &end, 10);
                        if (end == start) {
                            if (!force) return false;
                            Set(static_cast<int64>(0));
                            return false;
                        }
                        v = parsed;
                    }
                    break;
                case CLU_BLOB:
                    v = BlobInt64(fBlob);
                    break;
                case CLU_LIST:
                    v = fList.GetInteger(0);
                    break;
                case CLU_TABLE:
                    v = fTable.GetInteger("integer", 0);
                    break;
                default:
                    break;
            }
            Set(v);
            return true;
        }

        case CLU_FLOAT: {
            double v = 0.0;
            switch (fType) {
                case CLU_BOOL:
                    v = fBool ? 1.0 : 0.0;
                    break;
                case CLU_INTEGER:
                    v = static_cast<double>(fInteger);
                    break;
                case CLU_DATE:
                    v = static_cast<double>(fDate.ToRaw());
                    break;
                case CLU_TIMESTAMP:
                    v = static_cast<double>(fTimeStamp.ToRaw());
                    break;
                case CLU_TIME:
                    v = static_cast<double>(fTime.ToRaw());
                    break;
                case CLU_DECIMAL:
                    v = static_cast<double>(fDecimal);
                    break;
                case CLU_TEXT:
                    if (!fString.empty() && fString[0] != '\0') {
                        const char* start = fString.c_str();
                        char* end = nullptr;
                        double parsed = strtod(start, &end);
                        if (end == start || end != start + fString.size()) {
                            if (!force) return false;
                            Set(0.0);
                            return false;
                        }
                        v = parsed;
                    }
                    break;
                case CLU_BLOB:
                    v = BlobDouble(fBlob);
                    break;
                case CLU_LIST:
                    v = fList.GetFloat(0);
                    break;
                case CLU_TABLE:
                    v = fTable.GetFloat("float", 0.0);
                    break;
                default:
                    break;
            }
            Set(v);
            return true;
        }

        case CLU_DECIMAL: {
            CL_Decimal v;
            switch (fType) {
                case CLU_BOOL:
                    v = CL_Decimal(fBool ? 1 : 0);
                    break;
                case CLU_INTEGER:
                    v = CL_Decimal::FromInt64(fInteger);
                    break;
                case CLU_FLOAT:
                    v = CL_Decimal(fFloat);
                    break;
                case CLU_DATE:
                    v = CL_Decimal::FromInt64(MsecsToSeconds(fDate.ToRaw()));
                    break;
                case CLU_TIMESTAMP:
                    v = CL_Decimal::FromInt64(MsecsToSeconds(fTimeStamp.ToRaw()));
                    break;
                case CLU_TIME:
                    v = CL_Decimal(fTime.ToRaw() / 1000);
                    break;
                case CLU_TEXT:
                    v = CL_Decimal(fString);
                    break;
                case CLU_BLOB:
                    v = CL_Decimal(reinterpret_cast<const char*>(fBlob.GetDataForRead()),
                                   static_cast<unsigned long>(fBlob.GetSize()));
                    break;
                case CLU_LIST:
                    v = fList.GetDecimal(0);
                    break;
                case CLU_TABLE:
                    v = fTable.GetDecimal("decimal", CL_Decimal());
                    break;
                default:
                    break;
            }
            Set(v);
            return true;
        }

        case CLU_DATE: {
            int64 ms = 0;
            switch (fType) {
                case CLU_INTEGER:
                    ms = fInteger / kDay * kDay;
                    break;
                case CLU_TIMESTAMP:
                    ms = fTimeStamp.ToRaw() / kDay * kDay;
                    break;
                case CLU_FLOAT:
                    ms = TruncateDouble(fFloat) / kDay * kDay;
                    break;
                case CLU_DECIMAL: {
                    int64 s = DecimalToInt64(fDecimal);
                    ms = SecondsToMsecs(s / 86400 * 86400);
                    break;
                }
                case CLU_TEXT: {
                    CL_Date d(0LL);
                    d.FromString(WideRoundTrip(fString));
                    ms = d.ToRaw();
                    break;
                }
                case CLU_BLOB:
                    ms = BlobInt64(fBlob) / kDay * kDay;
                    break;
                case CLU_LIST:
                    ms = fList.GetDate(0).ToRaw();
                    break;
                case CLU_TABLE:
                    ms = fTable.GetDate("date", CL_Date(0LL)).ToRaw();
                    break;
                default:
                    break;
            }
            Set(CL_Date(static_cast<long long>(ms)));
            return true;
        }

        case CLU_TIME: {
            CL_Time t = CL_Time::Invalid();
            switch (fType) {
                case CLU_INTEGER:
                    t = TimeOf(fInteger);
                    break;
                case CLU_TIMESTAMP:
                    t = TimeOf(fTimeStamp.ToRaw());
                    break;
                case CLU_FLOAT:
                    t = TimeOf(TruncateDouble(fFloat));
                    break;
                case CLU_DECIMAL: {
                    int64 s = DecimalToInt64(fDecimal);
                    t = CL_Time().FromRaw(s % 86400 * 1000);
                    break;
                }
                case CLU_TEXT:
                    t = CL_Time::Invalid();
                    t.FromString(WideRoundTrip(fString));
                    break;
                case CLU_BLOB:
                    t = TimeOf(BlobInt64(fBlob));
                    break;
                case CLU_LIST:
                    t = fList.GetTime(0);
                    break;
                case CLU_TABLE:
                    t = fTable.GetTime("time", CL_Time::Invalid());
                    break;
                default:
                    break;
            }
            Set(t);
            return true;
        }

        case CLU_TIMESTAMP: {
            int64 ms = 0;
            switch (fType) {
                case CLU_INTEGER:
                    ms = fInteger;
                    break;
                case CLU_DATE:
                    ms = fDate.ToRaw();
                    break;
                case CLU_TIME:
                    ms = fTime.ToRaw();
                    break;
                case CLU_FLOAT:
                    ms = TruncateDouble(fFloat);
                    break;
                case CLU_DECIMAL:
                    ms = SecondsToMsecs(DecimalToInt64(fDecimal));
                    break;
                case CLU_TEXT: {
                    size_t length = strlen(fString.c_str());
                    int format = length == 10  ? CL_DATE_ISO_FORMAT
                                 : length == 8 ? CL_TIME_ISO_FORMAT
                                               : CL_TIMESTAMP_ISO_FORMAT;
                    CL_TimeStamp ts;
                    ts.FromString(CL_FromUTF8(fString), format);
                    ms = ts.ToRaw();
                    break;
                }
                case CLU_BLOB:
                    ms = BlobInt64(fBlob);
                    break;
                case CLU_LIST:
                    ms = fList.GetTimeStamp(0).ToRaw();
                    break;
                case CLU_TABLE:
                    ms = fTable.GetTimeStamp("timestamp", CL_TimeStamp(0LL)).ToRaw();
                    break;
                default:
                    break;
            }
            Set(CL_TimeStamp(static_cast<long long>(ms)));
            return true;
        }

        case CLU_TEXT: {
            std::string v;
            char buffer[64];
            switch (fType) {
                case CLU_BOOL:
                    v = fBool ? "true" : "false";
                    break;
                case CLU_INTEGER:
                    snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(fInteger));
                    v = buffer;
                    break;
                case CLU_FLOAT:
                    snprintf(buffer, sizeof buffer, "%g", fFloat);
                    v = buffer;
                    break;
                case CLU_DECIMAL:
                    v = fDecimal.ToString(-1, false);
                    break;
                case CLU_DATE:
                    v = fDate.ToString(CL_DATE_ISO_FORMAT);
                    break;
                case CLU_TIME:
                    v = fTime.ToString();
                    break;
                case CLU_TIMESTAMP:
                    v = fTimeStamp.ToString(CL_TIMESTAMP_ISO_FORMAT);
                    break;
                case CLU_BLOB:
                    v = fBlob.Raw();
                    break;
                case CLU_LIST:
                    v = fList.GetString(0);
                    break;
                case CLU_TABLE:
                    v = fTable.GetString("text", std::string());
                    break;
                default:
                    break;
            }
            Set(v);
            return true;
        }

        case CLU_BLOB: {
            CL_Blob v;
            switch (fType) {
                case CLU_BOOL:
                    if (fBool) {
                        uint8 one = 1;
                        v = CL_Blob(&one, 1, true);
                    }
                    break;
                case CLU_INTEGER:
                    v = Int64Blob(fInteger);
                    break;
                case CLU_DATE:
                    v = Int64Blob(fDate.ToRaw());
                    break;
                case CLU_TIMESTAMP:
                    v = Int64Blob(fTimeStamp.ToRaw());
                    break;
                case CLU_TIME:
                    v = Int64Blob(fTime.ToRaw());
                    break;
                case CLU_FLOAT: {
                    int64 bits;
                    memcpy(&bits, &fFloat, sizeof bits);
                    v = Int64Blob(bits);
                    break;
                }
                case CLU_DECIMAL: {
                    std::string text = fDecimal.ToString(-1, false);
                    v = CL_Blob(text.c_str(), static_cast<uint32>(text.size() + 1), true);
                    break;
                }
                case CLU_TEXT:
                    v = CL_Blob(fString.data(), static_cast<uint32>(fString.size()), true);
                    v.Rewind();
                    break;
                case CLU_LIST:
                    fList.Flatten(v);
                    break;
                case CLU_TABLE:
                    fTable.Flatten(v);
                    break;
                default:
                    break;
            }
            Set(v);
            return true;
        }

        case CLU_LIST: {
            CLU_List v;
            switch (fType) {
                case CLU_NULL:
                    break;
                case CLU_BLOB: {
                    CL_Blob source(fBlob);
                    source.Rewind();
                    v.Unflatten(source);
                    break;
                }
                case CLU_TABLE:
                    for (CLU_Table::iterator it = fTable.begin(); it != fTable.end(); ++it) {
                        v.Append(it.key());
                        v.Append(*it);
                    }
                    break;
                default:
                    v.Append(*this);
                    break;
            }
            Set(v);
            return true;
        }

        case CLU_TABLE: {
            CLU_Table v;
            switch (fType) {
                case CLU_NULL:
                    break;
                case CLU_BOOL:
                    v.Set("boolean", fBool);
                    break;
                case CLU_INTEGER:
                    v.Set("integer", fInteger);
                    break;
                case CLU_DECIMAL:
                    v.Set("decimal", fDecimal);
                    break;
                case CLU_FLOAT:
                    v.Set("float", fFloat);
                    break;
                case CLU_DATE:
                    v.Set("date", fDate);
                    break;
                case CLU_TIME:
                    v.Set("time", fTime);
                    break;
                case CLU_TIMESTAMP:
                    v.Set("timestamp", fTimeStamp);
                    break;
                case CLU_TEXT:
                    v.Set("text", fString);
                    break;
                case CLU_BLOB: {
                    CL_Blob source(fBlob);
                    source.Rewind();
                    v.Unflatten(source);
                    break;
                }
                case CLU_LIST: {
                    // Pairs from the start: the first item's text form is the key. A
                    // last unpaired item keeps its key with a NULL value.
                    uint32 count = fList.Count();
                    for (uint32 i = 0; i < count; i += 2) {
                        CLU_Entry key(*fList.Get(static_cast<int32>(i)));
                        key.Convert(CLU_TEXT, true);
                        const CLU_Entry* value = fList.Get(static_cast<int32>(i + 1));
                        if (value)
                            v.Set(key.fString, *value);
                        else
                            v.Set(key.fString, CLU_Null);
                    }
                    break;
                }
                default:
                    break;
            }
            Set(v);
            return true;
        }

        default:
            return false;
    }
}
