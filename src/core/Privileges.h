// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Gives up every capability the process holds (permitted, effective, inheritable and ambient), so
// that nothing after the event socket's bind runs privileged. 0, or -1 when the system refused.
int dropCapabilities();
