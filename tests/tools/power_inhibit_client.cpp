// Inhibits sleep once and releases it, so that a test can run the inhibition from
// an executable placed at a chosen path (the path is the application name sent).

#include <cstdio>
#include <cstring>

#include "lumo/power.h"

int main(int argc, char** argv) {
    if (argc > 1) {
        bool help = !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h");
        if (!help) fprintf(stderr, "power_inhibit_client: unknown option %s\n", argv[1]);
        fputs("usage: power_inhibit_client\n"
              "Inhibits sleep once through the desktop's session service and releases it.\n",
              help ? stdout : stderr);
        return help ? 0 : 2;
    }
    CL_InhibitSleep(true);
    CL_InhibitSleep(false);
    _CL_CloseInhibitConnection();
    return 0;
}
