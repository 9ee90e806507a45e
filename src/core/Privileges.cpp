// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Privileges.h"

#include <cap-ng.h>

int dropCapabilities()
{
    capng_clear(CAPNG_SELECT_ALL);
    // The bounding set would need a privilege a binary granted only the port's does not hold; with
    // nothing permitted, nothing can be regained from it.
    if (capng_apply(CAPNG_SELECT_CAPS) != 0 || capng_apply(CAPNG_SELECT_AMBIENT) != 0)
        return -1;
    return 0;
}
