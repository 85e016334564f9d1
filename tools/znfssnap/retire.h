#ifndef ZNFSSNAP_RETIRE_H
#define ZNFSSNAP_RETIRE_H

// The steps of a snapshot's retirement as the commands run them once they hold the locks:
// the deletion with its marker (delete), the hand-off of its names (handoff), and the removal
// of the tree (rmtree's work, in an order that a rerun recognises at every point; destroy).
// destroy runs all three in turn; the single-step commands run one each.

#include "operations.h"
#include "options.h"
#include "report.h"

#include <cstdint>
#include <string>
#include <system_error>
#include <vector>

namespace znfssnap {

// A volume that could not tell what it holds left the work undone, not failed: a GlusterFS
// volume with a brick down answers ENOTCONN where it cannot see whether an entry exists, and
// the step stops there having written nothing. The same command completes once the volume is
// whole again, which is what exit status 3 asks for.
int undone_if_not_whole(int status, const std::error_code& ec);

// What delete and destroy are asked: the options they share.
struct deletion_request {
    std::string volume, objvolume, snapdir, prevsnap;
    bool dry_run = false;
    bool wait = false;
    bool new_prevsnap = false;  // delete only: a completed deletion is rerun against another prevsnap
};
// start_command for delete and destroy (--volume, --object-volume and --snapdir required,
// --new-prevsnap accepted by delete alone), filling r: -1 when the command goes on, else its
// exit status (help shown, usage error).
int start_deletion(const char* command, const char* help, const std::vector<std::string>& args, common_options& co,
                   deletion_request& r);
// The JSON record of command for r, its request fields filled in.
json_object deletion_record(const char* command, const deletion_request& r);
// Opens r's snapshot and object volumes; -1 when both opened, else the exit status of the
// failure it reported.
int open_deletion_volumes(const char* command, bool json, const json_object& j, const deletion_request& r,
                          opened_volume& vol, opened_volume& obj);

struct deletion_step {
    verdict stop;               // not ok: refused, or an earlier marker could not go; nothing ran
    delete_outcome out;
    std::error_code marker_ec;  // ran in full, but its marker could not be written
    bool ran_in_full() const { return stop.ok() && !out.ec && out.opstatus == 0; }
    bool complete() const { return ran_in_full() && !marker_ec; }
};

// The deletion of snapdir against prevsnap ("" for none): refused when it was handed on
// already, it completed against another previous snapshot (unless new_prevsnap), prevsnap is
// being removed or holds nothing, a hand-off into either list is unfinished, or its delete
// list does not end with a line feed (dry runs too); otherwise an earlier run's marker goes
// first (not in a dry run), the library's deletion runs, and a complete one leaves
// SNAPDIR/.delete/delete_complete naming prevsnap.
deletion_step run_deletion_step(const opened_volume& vol, const opened_volume& obj, const std::string& snapdir,
                                const std::string& prevsnap, bool new_prevsnap, bool dry_run, bool show_progress);

struct handoff_outcome {
    verdict stop;  // not ok: refused, or failed (stop.io_error); run it again once fixed
    bool already_done = false;
    bool resumed = false;  // finished the append of a run cut short
    uint64_t names = 0;
    uint64_t offset = 0;  // where in the previous list the names went
    uint64_t bytes = 0;
};

// Appends the names the completed deletion of snapdir handed on to the delete list of
// prevsnap, exactly once (see 'znfssnap handoff --help'). Below both directories as they
// resolve when it begins, following no link.
handoff_outcome run_handoff(const opened_volume& vol, const std::string& snapdir, const std::string& prevsnap);

// Removes the given entries of dir (a link is removed, never followed; a directory with all
// below it); dir itself stays. An entry that went meanwhile counts as removed.
std::error_code remove_entries(const opened_volume& vol, const std::string& dir,
                               const std::vector<std::string>& entries, uint64_t& removed);

// Removes SNAPDIR/.delete, the directory confined in vol: its delete list first (durably), the
// markers delete_complete and handoff_done after the rest, marker (a path) last of all, then
// the directory. A run cut short leaves the marker as long as anything else of .delete.
std::error_code remove_bookkeeping(const opened_volume& vol, const std::string& snapdir, const std::string& marker,
                                   uint64_t& removed);

// Removes the tree of a snapshot whose deletion and hand-off are done. First the marker
// SNAPDIR/.delete/destroying is made durable, then everything but .delete goes, then the
// rest of .delete (its delete list first, the other markers after the rest), the marker last
// of all, then .delete and the directory. At every point the
// directory holds the marker, or nothing but an empty .delete, or nothing: read_snapshot_state
// calls all of them "destroying" or "empty", and a rerun finishes the removal. All of it goes
// through a context confined to snapdir as it resolves when the removal starts: a link below
// it is removed, never followed (ELOOP where a path would pass one), and a .delete that is a
// link is refused (ELOOP) before anything is written or removed.
std::error_code remove_snapshot_tree(const opened_volume& vol, const std::string& snapdir, uint64_t& removed);

}  // namespace znfssnap

#endif
