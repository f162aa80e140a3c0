// SPDX-License-Identifier: ISC
// What the file system under a file means for the run: how to read its
// answer to a lease, whether it gives every file the same owner, and
// whether mv can rename the work file into the file's directory.
#pragma once

#include <cstdint>
#include <string>

#include <sys/stat.h>

namespace eolscrub2 {

// statfs's f_type, as the kernel sets it: 32 bits, which a 32-bit build's
// f_type holds as a signed int, so that the large ones read negative.
using fs_type = std::uint32_t;

// The types of the file systems named here.
namespace magic {
inline constexpr fs_type nfs = 0x6969;
inline constexpr fs_type cifs = 0xff534d42; // SMB1
inline constexpr fs_type smb2 = 0xfe534d42; // SMB2 and 3, the same client
inline constexpr fs_type msdos = 0x4d44;
inline constexpr fs_type exfat = 0x2011bab0;
inline constexpr fs_type fuse = 0x65735546;
inline constexpr fs_type ntfs = 0x5346544e;     // ntfs3
inline constexpr fs_type ntfs_old = 0x7366746e; // the old read-only ntfs
inline constexpr fs_type ext4 = 0xef53;
inline constexpr fs_type btrfs = 0x9123683e;
inline constexpr fs_type tmpfs = 0x01021994;
inline constexpr fs_type ramfs = 0x858458f6;
} // namespace magic

// The type of the file system f lies on; 0 where it cannot be told.
fs_type type_of(int f);

// Whether a file system of this type keeps its files in memory alone, so
// that asking it to write them back early only costs a walk of the pages.
bool in_memory(fs_type type);

// Whether a file system of this type gives every file the mount's owner,
// as FAT, exFAT and NTFS without a user mapping do, and FUSE ones such as
// sshfs.
bool invents_owners(fs_type type);

// Whether the two, as statx saw them, are on one mount.
bool same_mount(const struct statx& a, const struct statx& b);

// Whether mv, given the work file (work, in a directory of statx wx) and
// the name in dir (dx), can rename it there rather than copy it: the same
// mount, and nothing else about the two that makes the kernel refuse the
// rename (EXDEV): an encrypted directory whose policy the work file does
// not have (fscrypt), or one that gives its files its project id and has
// not the work file's (ext4, xfs). Where a look fails, a copy is the safe
// guess.
bool renames(int work, const struct statx& wx, int dir, const struct statx& dx);

// Whether statx shows x encrypted (fscrypt).
bool encrypted(const struct statx& x);

// The fscrypt policy of f, as bytes that compare equal for the same
// policy; empty for none. 0 or an errno.
int policy_of(int f, std::string& policy);

} // namespace eolscrub2
