// SPDX-License-Identifier: ISC
// The replacement: the work file put in the file's place by rm and mv, what
// they left looked at, and the result made durable.
#pragma once

#include "attrs.h"
#include "copy.h"
#include "original.h"
#include "workfile.h"

namespace eolscrub2 {

// Replaces the file f by the work file, once it is sure the name still
// leads to that file, unchanged, and that no program has opened it for
// writing since; m is what the work file could not be given. Says what
// went wrong; the run's status.
int replace(const original& f, workfile& work, missed& m, const buffer& buf);

} // namespace eolscrub2
