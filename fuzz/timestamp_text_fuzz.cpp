// Fuzz target for date and time text in every layout. A text that parses prints in
// the same layout to text that parses to the same value.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "lumo/init.h"
#include "lumo/timestamp.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    CL_Init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    int format = data[0] % 10;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    CL_TimeStamp stamp;
    if (stamp.FromString(text, format)) {
        if (!stamp.IsValid()) abort();
        // The locale layouts read the ISO one; print in what was read.
        int printAs = (format >= CL_TIME_LOCALE_FORMAT && format <= CL_DATE_ITA_FORMAT)
                          ? CL_TIMESTAMP_ISO_FORMAT
                          : format;
        std::string printed = stamp.ToString(printAs);
        CL_TimeStamp back;
        if (!back.FromString(printed, printAs) || back.ToRaw() != stamp.ToRaw()) abort();
    } else if (stamp.ToRaw() != 0) {
        abort();
    }
    (void)stamp.ToString(format);

    CL_Date date;
    if (date.FromString(text)) {
        CL_Date back;
        if (!back.FromString(date.ToString(CL_DATE_ISO_FORMAT)) || back.ToRaw() != date.ToRaw())
            abort();
        (void)date.ToString(CL_DATE_ITA_FORMAT);
        (void)date.GetWDay();
    }

    CL_Time time;
    if (time.FromString(text)) {
        CL_Time back;
        if (!back.FromString(time.ToString()) || back.ToRaw() != time.ToRaw()) abort();
    }
    return 0;
}
