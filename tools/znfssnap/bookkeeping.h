#ifndef ZNFSSNAP_BOOKKEEPING_H
#define ZNFSSNAP_BOOKKEEPING_H

// The markers the command keeps beside the library's bookkeeping in SNAPDIR/.delete, and the
// checks made before a delete list is appended to. The service has no rename, so a step that
// must happen once (handing a deletion's names on) is made safe to redo instead: a marker
// written and made durable before the step says how to redo it, another one after it says it
// is done.

#include "operations.h"
#include "report.h"

#include <cstdint>
#include <map>
#include <string>
#include <system_error>
#include <vector>

namespace znfssnap {

// Appended to a snapshot directory.
extern const char* const k_delete_complete;  // the deletion ran in full; holds the previous snapshot it used
extern const char* const k_delete_started;   // a deletion began; holds the previous snapshot it compares with
extern const char* const k_handoff_pending;  // a hand-off into this snapshot's list is under way
extern const char* const k_handoff_done;     // this snapshot's handed-on names are in the previous list
extern const char* const k_destroying;       // the removal of the tree has begun (destroy)
extern const char* const k_incomplete;       // the creation ended with entries it could not copy

// A hand-off: the source's bytes go to the previous snapshot's list at offset. The pending
// marker (in the previous snapshot) names the source snapshot; the done marker (in the
// source snapshot) names the previous one.
struct pending_handoff {
    uint64_t offset = 0;
    uint64_t length = 0;
    std::string snapdir;  // normalized
};

// "OFFSET LENGTH SNAPDIR\n"
std::string format_pending(const pending_handoff& p);
bool parse_pending(const std::string& text, pending_handoff& p);

// The pending marker of snapdir; ENOENT when there is none, or only a cut one.
std::error_code read_pending(const opened_volume& vol, const std::string& snapdir, pending_handoff& p);

// Whether the file ends with a line feed (an empty file does), and its size.
std::error_code ends_with_line_feed(const opened_volume& vol, const std::string& path, bool& yes, uint64_t& size);

// Whether snapdir may still serve as a previous snapshot: refused when its removal has begun
// (read_snapshot_state calls it destroying), and with empty_refuses when it holds nothing. Its
// copies may be gone already: compared with them, every name would read as absent and its
// object be unlinked, and names handed to it would never be processed. Refused too when its
// creation was incomplete: it lacks copies, and it is no snapshot of the chain; with
// empty_refuses also when it has no delete list (a creation that stopped part-way).
verdict removal_refusal(const opened_volume& vol, const std::string& snapdir, bool empty_refuses);

// Whether names may be appended to the delete list of snapdir now. Refused: a snapshot being
// removed or created incomplete (removal_refusal), a snapshot without a delete list (not
// finished), one whose deletion has completed (names added then are never processed), a list
// that does not end with a line feed (the first new name would be joined to its cut last line),
// and, with pending_refuses, a list that a hand-off is still writing.
verdict append_refusal(const opened_volume& vol, const std::string& snapdir, bool pending_refuses);

// Whether the deletion of snapdir completed, and the previous snapshot it compared with ("" for
// none). A marker without its final line feed was cut while written: not complete.
std::error_code read_delete_complete(const opened_volume& vol, const std::string& snapdir, bool& complete,
                                     std::string& compared_with);

// The same for the marker a deletion writes before it unlinks anything: whether one began, and
// the previous snapshot it compares with.
std::error_code read_delete_started(const opened_volume& vol, const std::string& snapdir, bool& started,
                                    std::string& compared_with);

// The entries of a list file (ended by a line feed or a NUL; empty ones do not count), read in
// blocks so that a list of any length costs little memory.
std::error_code count_list_entries(const opened_volume& vol, const std::string& path, uint64_t& entries);

// When a creation began and of which dataset, kept as an attribute of SNAPDIR/.delete
// ("NANOSECONDS INODE DATASET": the host's clock, the dataset directory's inode number, which
// no spelling of its path changes, and its path as given, for messages), so that a deletion
// can tell the snapshots of one chain apart and in order. Snapshots made before it was kept,
// or on a volume without user attributes, have none: they count as older than any that has.
struct created_stamp {
    bool known = false;
    uint64_t ns = 0;
    uint64_t dataset_ino = 0;
    std::string dataset;  // normalized
};
extern const char* const k_created_attr;
std::error_code write_created_stamp(znfs::znfs_api* api, const znfs::znfs_iopx_ptr& iopx, const std::string& snapdir,
                                    const created_stamp& stamp);
created_stamp read_created_stamp(const opened_volume& vol, const std::string& snapdir);

// The other entries of dir's parent directory, as normalized paths in name order (none when it
// cannot be read).
std::vector<std::string> siblings_of(const opened_volume& vol, const std::string& dir);

// Of the snapshots dirs, those whose deletion (begun or complete) compared with a previous
// snapshot and has not handed its names on yet: by the path of that previous snapshot.
std::map<std::string, std::string> awaited_handoffs(const opened_volume& vol, const std::vector<std::string>& dirs);

// Why prevsnap (empty: none) is not the previous snapshot of snapdir as their stamps tell: taken
// after it or of another dataset, or a snapshot of the same dataset beside snapdir (in its
// parent directory), in the chain still, lies between them. Empty when nothing says so.
verdict chain_refusal(const opened_volume& vol, const std::string& snapdir, const std::string& prevsnap);

// Where a snapshot directory stands in its life, as its bookkeeping and markers tell.
struct snapshot_state {
    bool empty = false;            // holds nothing at all
    bool bookkeeping = false;      // .delete and its delete list are there
    bool list_entries_known = false;
    uint64_t list_entries = 0;     // names in the delete list
    bool deletion_ran = false;     // a deletion began (its batches or hand-off list are there), not completed
    bool delete_complete = false;
    std::string compared_with;     // previous snapshot of the completed deletion ("" for none)
    bool handoff_done = false;
    bool destroying = false;       // a removal of the tree began (its marker), or only an empty .delete is left
    bool incomplete = false;       // its creation could not copy every entry (its marker)
    // The completed deletion's names still wait to go to the previous snapshot's list.
    bool handoff_pending() const { return delete_complete && !compared_with.empty() && !handoff_done; }
    // "destroying", "empty", "incomplete", "deleted", "deleting", "finished" or "unfinished".
    const char* name() const;
};

// Reads the state of the directory snapdir; count_names: count the delete list's names too.
std::error_code read_snapshot_state(const opened_volume& vol, const std::string& snapdir, bool count_names,
                                    snapshot_state& state);

}  // namespace znfssnap

#endif
