// The OLT's port table (status bytes and names of PON0, PON1, NNI0, NNI1),
// refreshed from the chip on a management handler's request.
//
// Locks: holds the OLT record across its four chip exchanges; the chip
// link's send lock is taken innermost.
#pragma once

// Refreshes the OLT's port table from the chip, port by port. 0;
// TEK_RC_REFUSED the chip refused (or answered short); TEK_RC_NO_MEMORY no
// pool memory; a negative transport result; TEKLINK_ERR_ARGUMENT for an
// index outside 0..3 (nothing touched).
int profiler_olt_update_state(int olt);
