// What is made sure of before anything is created: that no other user can
// steer the replacement.
#pragma once

#include <sys/stat.h>

namespace eolscrub2 {

// Whether another user could rename or remove entries in the directory
// that will hold the work file (dir), so swapping the work file between the
// last check and the move. Allowed are a directory only the caller or root
// owns and no one else may write, a sticky one owned by the caller or root
// (such as /tmp), and the file's own directory (file_dir): whoever may
// change that could replace the file anyway.
bool others_may_change(const struct stat& dir, const struct stat& file_dir);

} // namespace eolscrub2
