// Inhibits sleep once and releases it, so that a test can run the inhibition from
// an executable placed at a chosen path (the path is the application name sent).

#include "lumo/power.h"

int main() {
    CL_InhibitSleep(true);
    CL_InhibitSleep(false);
    _CL_CloseInhibitConnection();
    return 0;
}
