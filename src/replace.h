// SPDX-License-Identifier: ISC
// The replacement: the work file put in the file's place by rm and mv, what
// they left looked at, and the result made durable.
#pragma once

#include "run.h"

namespace eolscrub2 {

// Replaces the run's file by its work file, once it is sure the name still
// leads to that file, unchanged, and that no program has opened it for
// writing since. Says what went wrong; the run's status.
int replace(run& r);

} // namespace eolscrub2
