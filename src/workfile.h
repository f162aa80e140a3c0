// The work file: a new file under a unique name in the current directory,
// which holds the converted text until the replacement takes it.
#pragma once

#include "fd.h"

#include <string>

#include <sys/stat.h>

namespace eolscrub2 {

// Removes the file when it goes out of scope, or when a signal ends the
// run, unless the replacement has taken it.
class workfile {
public:
    workfile() = default;
    workfile(const workfile&) = delete;
    workfile& operator=(const workfile&) = delete;
    ~workfile();

    // Creates the file exclusively (never one that existed before) and
    // opens it for writing as out. 0 or an errno.
    int create(fd& out);

    // From here on the file may be the only copy of the converted text: no
    // failure and no signal removes it unasked.
    void keep();

    void remove();

    // Whether the file is still there under its name.
    bool present() const;

    const std::string& name() const { return name_; }
    std::string path() const { return dir_ + "/" + name_; }
    // For messages on what went wrong while it was written: by then it is gone.
    std::string where() const { return "work file in " + (dir_.empty() ? "." : dir_); }
    const struct stat& stat() const { return st_; }
    // The directory it was made in, held open.
    int dir() const { return here_.get(); }

private:
    std::string name_ = "eolscrub.tmp.XXXXXX";
    std::string dir_;
    fd here_;
    struct stat st_ {};
    bool made_ = false;
    bool kept_ = false;
};

} // namespace eolscrub2
