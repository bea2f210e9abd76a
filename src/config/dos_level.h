// The flood-protection level the `dos_level` keyword sets. A plain enumeration for any thread; the
// protection code includes this header rather than declaring its own.
#pragma once

enum DosLevel { DL_OFF = 0, DL_LOG = 1, DL_LOCAL = 2, DL_SYSFW = 3 };
