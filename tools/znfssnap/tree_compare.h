#ifndef ZNFSSNAP_TREE_COMPARE_H
#define ZNFSSNAP_TREE_COMPARE_H

// Describes directory trees through a znfs_api (kind, permission bits, data digest, extended
// attributes of every entry) and compares the descriptions: what verify checks, and what the
// demo uses to show that a snapshot was left untouched.

#include <znfs/znfs_api.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <system_error>
#include <vector>

namespace znfssnap {

enum class entry_kind { directory, file, symlink, special, unreadable };

struct tree_entry {
    entry_kind kind = entry_kind::unreadable;
    bool descend = false;    // a real directory (not one reached through a link)
    uint32_t perm = 0;       // mode & 01777: set-id bits are not carried into snapshots
    uint64_t size = 0;       // bytes read
    uint64_t digest = 0;     // of the bytes read
    std::map<std::string, std::string> xattrs;
    std::string problem;     // why the entry could not be described in full; empty when it could
};

// How entries are seen. A dataset is seen as creation copies it: ".snaps" directories and a
// top-level entry named ".delete" are left out, links are followed, and FIFOs, sockets and
// devices read as empty files. A snapshot is seen as it is (links and special files are
// reported as such), without its top-level bookkeeping directory ".delete".
enum class tree_side { dataset, snapshot };

typedef std::map<std::string, tree_entry> tree_listing;

// The entries of directory root + rel (rel "" or "/a/b"), keyed by name.
std::error_code describe_directory(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& root,
                                   const std::string& rel, tree_side side, tree_listing& out);

// Every entry below root, keyed by path relative to root ("/a/b"); counter (if given) counts
// the entries described.
std::error_code describe_tree(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& root,
                              tree_side side, tree_listing& out, std::atomic<uint64_t>* counter = nullptr);

// One way in which an entry of the snapshot differs from the dataset's. kind, and what
// expected (the dataset's side) and found (the snapshot's side) then hold:
//   missing             the dataset entry's type; ""
//   extra               ""; the snapshot entry's type
//   type                the two types ("directory", "file", "symlink", "special")
//   mode                the two permission modes, four octal digits ("0755")
//   size                the two sizes in bytes, decimal
//   data                the two 64-bit digests of the bytes, hexadecimal (same size, other bytes)
//   xattr_missing       the attribute's value; ""
//   xattr_extra         ""; the attribute's value
//   xattr_value         the two values
//   unreadable_dataset  ""; why the dataset entry could not be described ("cannot read data: ...")
//   unreadable_snapshot ""; the same for the snapshot entry
// attribute names the extended attribute of the xattr_ kinds, "" otherwise.
struct difference {
    std::string path;  // relative to the roots, "/a/b"
    std::string kind;
    std::string expected;
    std::string found;
    std::string attribute;
};

// The difference as a sentence for people ("/docs/a.txt: data differs"), odd bytes escaped.
std::string difference_text(const difference& d);

// Appends one record per difference between the expected and the actual entry at path (either
// may be null: missing).
void compare_entry(const std::string& path, const tree_entry* expected, const tree_entry* actual,
                   std::vector<difference>& diffs);

// Differences between two whole-tree listings keyed by path, as sentences.
std::vector<std::string> compare_listings(const tree_listing& expected, const tree_listing& actual);

struct verify_outcome {
    std::error_code ec;                   // set when a root could not be listed, or the roots not confined
    std::string failure;                  // what could not be done then: "cannot list /live"
    std::vector<difference> differences;  // in the order of the walk
    uint64_t entries = 0;     // dataset and snapshot entries examined
    double seconds = 0;
};

// Compares snapdir with datasetdir, directory by directory, reading both the way creation
// does: through a context of iopx confined to the two roots, which follows a final link of
// either tree only to an entry beneath the same root and no link anywhere else. A dataset link
// that leads out of the dataset is thus an unreadable dataset entry (creation copies none of
// it), and nothing outside the two trees is ever read or reported.
verify_outcome verify_snapshot(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& datasetdir,
                               const std::string& snapdir, bool show_progress);

}  // namespace znfssnap

#endif
