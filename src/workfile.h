// SPDX-License-Identifier: ISC
// The work file: a new file under a unique name in the current directory,
// which holds the converted text until the replacement takes it.
#pragma once

#include "attrs.h"
#include "fd.h"

#include <string>

#include <sys/stat.h>

namespace eolscrub2 {

// Who besides the caller may open the work file: no one, while it is
// private (the caller's, with no group or other bits, so that a default
// ACL of its directory grants nothing either); or whoever may open the
// file, once it lies beside the file with the file's attributes.
enum class exposure { caller, as_file };

// Removes the file when it goes out of scope, or when a signal ends the
// run, unless the replacement has taken it.
class workfile {
public:
    workfile() = default;
    workfile(const workfile&) = delete;
    workfile& operator=(const workfile&) = delete;
    ~workfile();

    // Holds the current directory open: the work file will be made there,
    // whatever becomes of its name. 0 or an errno.
    int open_dir();
    const struct stat& dir_stat() const { return dir_st_; }
    // Its mount, and whether it is append-only or immutable.
    const struct statx& dir_statx() const { return dir_x_; }

    // Creates the file exclusively (never one that existed before), and
    // opens it for writing as out, so that no one the file (of attributes
    // a) shuts out can open it. Private, unless it lies beside the file
    // (beside) and the file's permission bits show it to no one more than
    // the file: a file system that cannot change modes then keeps them.
    // 0 or an errno.
    int create(fd& out, const attrs& a, bool beside);

    exposure exposed() const { return exposure_; }
    // Beside the file, out has been given the file's attributes.
    void as_file() { exposure_ = exposure::as_file; }
    // Takes back from out what lets others open it, once its attributes
    // are known to take: its mode's group and other bits, then its owner.
    // Judged by what it then shows. 0 or an errno.
    int keep_private(int out);

    // From here on the file may be the only copy of the converted text: no
    // failure and no signal removes it unasked.
    void keep();

    // Removes the file, under its name and under the one given to mv.
    // 0 or the errno of the first removal that failed.
    int remove();

    // Removes the file as a run gives up, and says so where it cannot.
    void discard();

    // Whether the file is still there under its name.
    bool present() const;

    // A second name for the file in its directory, which mv is then given,
    // so that the file keeps its own until its text is known to be safe
    // under the file's name: mv across file systems removes its source
    // before the copy it made is on disk. 0, or why there is none: the
    // directory takes no hard links (EPERM, EMLINK, ENOTSUP), or the link
    // is another file (ESTALE), as on sshfs; or another errno.
    int add_second_name();
    // Removes the second name if mv has not taken it.
    void drop_second_name();
    // The name mv is given: the second, or the file's own.
    const std::string& for_mv() const { return for_mv_; }

    // Opens the file for reading, as the replacement found it. 0 or an errno.
    int open_for_reading(fd& text) const;

    const std::string& name() const { return name_; }
    // For messages on what went wrong while it was written: by then it is gone.
    std::string where() const { return "the work file in " + dir_path_; }
    const struct stat& stat() const { return st_; }
    // The directory it was made in, held open, and its path.
    int dir() const { return dir_.get(); }
    const std::string& dir_path() const { return dir_path_; }

private:
    enum class state { none, made, kept };
    state state_ = state::none;
    exposure exposure_ = exposure::caller;
    std::string name_;
    std::string for_mv_;
    std::string dir_path_;
    fd dir_;
    struct stat dir_st_ {};
    struct statx dir_x_ {};
    struct stat st_ {};

    int make(fd& out, mode_t mode);
};

} // namespace eolscrub2
