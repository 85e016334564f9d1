#ifndef ZNFSSNAPCORE_H
#define ZNFSSNAPCORE_H

// znfssnapcore: point-in-time snapshots of directory trees on file-system volumes.
//
// A host fills a znfssnapcore_opinfo and calls snap_opcreate or snap_opdelete. Every file
// access goes through the znfs_api objects of the record. Failures are returned as
// error_code values (value 0 is success; test the value alone), never thrown by the library.
// The library keeps no state between calls; calls on different snapshot directories are
// independent, two calls on the same snapshot directory are not guarded against each other.
//
// Keeping snapshots safe (the host's part; the README says more):
// - A name the live dataset changes goes to the delete list of the newest snapshot, and only
//   when that snapshot still holds the object the dataset just dropped; otherwise no snapshot
//   holds the object and the host unlinks it itself. A name holding a line feed cannot be
//   listed.
// - The previous snapshot of a deletion is the next older one that still exists ("" for the
//   oldest).
// - After a deletion that returned 0 with opstatus 0, append prevsnap_dellist to the previous
//   snapshot's delete list before anything else happens to either, then remove the deleted
//   snapshot's tree; never name it as a previous snapshot again. A deletion with opstatus -1
//   is run again.
// - A creation that failed or left opstatus -1 does not join the chain: remove it and take it
//   again before the live dataset changes. Nothing changes the live dataset while a creation
//   runs; a file renamed or restored from a snapshot gets a new data object.
// - One call at a time per snapshot directory.

#include <znfssnapcore/znfssnapcore_export.h>

#include <znfs/znfs_api.h>
#include <znfs/znfs_debug.h>

#include <boost/shared_ptr.hpp>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdint.h>
#include <string>
#include <system_error>
#include <unordered_map>

namespace znfs {
// An operation only holds its pool; the pool's header (Asio, Boost.Thread) stays out of hosts.
class znfs_thpool;
}  // namespace znfs

namespace znfssnapcore {

using std::error_code;
using std::string;

// Reaches what only the library's own tests may touch; defined by the tests alone.
struct znfssnapcore_test_access;

// One operation's record, owned by the caller and borrowed for the length of one call.
struct znfssnapcore_opinfo {
    znfs::znfs_api* snapfsapi;                     // in: volume of the dataset and its snapshots
    boost::shared_ptr<znfs::znfs_iopx> snapiopx;   // in
    znfs::znfs_api* objfsapi;                      // in, deletion: the object volume
    boost::shared_ptr<znfs::znfs_iopx> objiopx;    // in, deletion
    string datasetdir;                             // in, creation: the live tree to copy
    string snapdir;                                // in: the snapshot directory (must exist)
    string prevsnapdir;                            // in, deletion: previous snapshot, "" for none
    string prevsnap_dellist;                       // out: path of the previous-snapshot delete list
    int32_t opstatus;                              // out: 0 when the operation completed in full

    znfssnapcore_opinfo() : snapfsapi(nullptr), objfsapi(nullptr), opstatus(-1) {}
};

// Copies datasetdir below snapdir (skipping ".snaps"), makes the copy durable, then makes
// snapdir/.delete and an empty snapdir/.delete/deletefilelist. The result reports the
// bookkeeping steps; opstatus is 0 only when every entry was copied in full and the
// bookkeeping was made. A snapdir that already holds .delete is a finished snapshot: EEXIST
// (generic category), nothing written. One without it (a creation that stopped) is copied into.
[[nodiscard]] ZNFSSC_EXPORT error_code snap_opcreate(znfssnapcore_opinfo* opinfo);

// Processes snapdir's delete list: unlinks the data objects that the previous snapshot does not
// share and hands the names it shares on to snapdir/.delete/deletefilelist_prevsnap (made
// durable), whose path lands in prevsnap_dellist. The result is that of building that list;
// opstatus is 0 only when it is 0 and every listed name was dealt with (unlinked, handed on,
// or proven to need nothing). Otherwise run the same deletion again: it resolves the rest.
[[nodiscard]] ZNFSSC_EXPORT error_code snap_opdelete(znfssnapcore_opinfo* opinfo);

namespace znfssnaputils {

// Bookkeeping names, appended to a snapshot directory (numbered files get N in decimal).
ZNFSSC_EXPORT extern const string sdellistdir;             // "/.delete"
ZNFSSC_EXPORT extern const string sdelfilelist;            // "/.delete/deletefilelist"
ZNFSSC_EXPORT extern const string sdelfilebatch;           // "/.delete/delfilebatch_thr"
ZNFSSC_EXPORT extern const string sdelfilebatch_prevsnap;  // "/.delete/delfilebatch_prevsnap_thr"
ZNFSSC_EXPORT extern const string sdelfilelist_prevsnap;   // "/.delete/deletefilelist_prevsnap"

// The extended attribute of a snapshot file whose value is the path of the file's data object
// on the object volume; deletion compares it between snapshots and unlinks the path it names.
ZNFSSC_EXPORT extern const string suuidxattr;              // "trusted.vidoruvud.uuid"

// List files: entries of bytes each ended by a line feed; a NUL also ends an entry when read.

// True when path opens read-only.
[[nodiscard]] ZNFSSC_EXPORT bool file_exists(znfs::znfs_api* api, boost::shared_ptr<znfs::znfs_iopx> iopx, string path);
// True when path cannot be opened or has size 0.
[[nodiscard]] ZNFSSC_EXPORT bool is_file_empty(znfs::znfs_api* api, boost::shared_ptr<znfs::znfs_iopx> iopx,
                                               string path);
// The entry starting at offset, without its terminator; linelen is set to its length. At end
// of data, or when a read fails, "" with linelen unchanged.
[[nodiscard]] ZNFSSC_EXPORT string fileptr_getline(znfs::znfs_api* api, boost::shared_ptr<znfs::znfs_file> fileptr,
                                                   uint64_t offset, uint64_t& linelen);
// Appends filename and a line feed to the existing list listfile; writes nothing on failure,
// nor for a name holding a line feed or a NUL, nor to a list whose last entry has no
// terminator (a name would be joined to it). A write that fails part-way leaves empty lines.
ZNFSSC_EXPORT void filename_addtolist(znfs::znfs_api* api, boost::shared_ptr<znfs::znfs_iopx> iopx,
                                      string listfile, string filename);

// Copies size bytes from srcfp at srcoffset to dstfp at dstoffset in 32 KiB blocks. Writes
// only bytes it read: a source that ends early stops the copy with an error.
[[nodiscard]] ZNFSSC_EXPORT error_code file_copy(znfs::znfs_api* api, boost::shared_ptr<znfs::znfs_file> srcfp,
                                                 uint64_t srcoffset, boost::shared_ptr<znfs::znfs_file> dstfp,
                                                 uint64_t dstoffset, uint64_t size, znfs::znfs_debug& logger);
// Cuts the list filetosplit into at most splitcount pieces of whole consecutive entries,
// written to splitfileprefix followed by 1, 2, ...; an empty list gives no piece.
[[nodiscard]] ZNFSSC_EXPORT error_code filesplit(znfs::znfs_api* api, boost::shared_ptr<znfs::znfs_iopx> iopx,
                                                 string filetosplit, uint32_t splitcount, string splitfileprefix,
                                                 znfs::znfs_debug& logger);
// Appends the whole of srcfile to dstfp at dstoffset; an empty source appends nothing.
[[nodiscard]] ZNFSSC_EXPORT error_code fileappend(znfs::znfs_api* api, boost::shared_ptr<znfs::znfs_iopx> iopx,
                                                  string srcfile, boost::shared_ptr<znfs::znfs_file> dstfp,
                                                  uint64_t dstoffset, znfs::znfs_debug& logger);
// Removes dirname and everything below it, depth first; symbolic links are unlinked, never
// followed. The result is that of removing dirname itself.
[[nodiscard]] ZNFSSC_EXPORT error_code rmdir_nonempty(znfs::znfs_api* api, boost::shared_ptr<znfs::znfs_iopx> iopx,
                                                      string dirname, znfs::znfs_debug& logger);

}  // namespace znfssnaputils

// What a creation and a deletion share: the logger they write every line through, the record
// they serve, the volume they work on and their worker pool. Construction resets the record's
// outputs (opstatus -1, prevsnap_dellist empty) and creates and enables the pool; without one
// the operation runs all of its work on the calling thread. The start method fills m_znfsapi,
// m_iopx and m_snapdir from the record. Workers only read these members.
class ZNFSSC_EXPORT znfssnapframe : public znfs::znfs_debug {
public:
    znfssnapframe(const znfssnapframe&) = delete;
    znfssnapframe& operator=(const znfssnapframe&) = delete;

    znfs::znfs_api* m_znfsapi;
    boost::shared_ptr<znfs::znfs_iopx> m_iopx;
    boost::shared_ptr<znfs::znfs_thpool> m_thpool;
    bool m_thpool_enabled;
    znfssnapcore_opinfo* m_opinfo;
    string m_snapdir;

protected:
    // fn names the operation's constructor in the log line of a pool that could not be made.
    znfssnapframe(znfssnapcore_opinfo* opinfo, const char* fn);
    ~znfssnapframe();
};

namespace znfssnapcreate {

// One snapshot creation. A host normally calls snap_opcreate; the object is exported for hosts
// that want the progress counters. The steps are public so that each can be exercised alone.
class ZNFSSC_EXPORT znfssnapcreate : public znfssnapframe {
public:
    explicit znfssnapcreate(znfssnapcore_opinfo* opinfo);
    ~znfssnapcreate();

    error_code opcreate_start();

    int copy_dataset(string datasetdir);
    void dirtraverse(string dirbasepath, string dirname);
    void processdir(string dirbasepath, string srcdirpath, string dirname, string destbasepath);
    void processfile(string srcdirpath, string filename, string destbasepath, string dirname);
    error_code copyfile(string srcdirpath, string filename, string destbasepath, string dirname);
    error_code copydir(string srcdirpath, string dirname, string destbasepath);
    error_code copyattr(string srcpath, string destpath);

    // Entries (files and directories) copied in full, and entries that failed, so far.
    // Safe to read from any thread while the creation runs.
    uint64_t entries_copied() const { return m_copied.load(std::memory_order_relaxed); }
    uint64_t entries_failed() const { return m_failed.load(std::memory_order_relaxed); }

private:
    friend struct znfssnapcore::znfssnapcore_test_access;

    // The most work items that waited in the pool's queue at once: bounded whatever the number
    // of entries, since a lister copies entries itself while the queue is full.
    uint64_t queued_peak() const { return m_queued_peak.load(std::memory_order_relaxed); }

    struct pending_dir;
    typedef boost::shared_ptr<pending_dir> pending_ptr;
    // The walk below dirname (relative to dirbasepath): the pool walk when there is a pool, the
    // inline walk otherwise. dir is the copy of dirname when an item of the pool walk lists it.
    void traverse(const string& dirbasepath, const string& dirname, const pending_ptr& dir);
    // Takes one directory entry: its d_type and its name.
    typedef std::function<void(unsigned char type, string&& name)> entry_fn;
    // Lists dirbasepath/rel, handing take each entry but the top's ".delete"; the handle is held
    // only while listing. Counts the directory (the top excepted) copied when the listing ended
    // well, and failed when not.
    void list_directory(const string& dirbasepath, const string& rel, const entry_fn& take);
    // Posts one item to the pool for each entry of dirname; each subdirectory's item walks it in
    // turn. A full queue makes the lister copy a file, or a subdirectory, itself.
    void pool_walk(const string& dirbasepath, const string& dirname, const pending_ptr& dir);
    // A subdirectory the lister of a full queue copies itself (directory_item's work, on the
    // lister's thread), once it has taken one of the few places for such listers.
    void directory_here(const string& dirbasepath, const string& dirname, const string& name,
                        const string& destbasepath, const pending_ptr& parent);
    // Copies everything below dirname on the calling thread, depth first; default_acl tells
    // whether dirname's copy has a default ACL.
    void inline_walk(const string& dirbasepath, const string& dirname, bool default_acl);
    void directory_item(string dirbasepath, string srcdirpath, string dirname, string destbasepath,
                        pending_ptr parent);
    void file_item(string srcdirpath, string filename, string destbasepath, string dirname, pending_ptr parent);
    void finished(pending_ptr dir);
    void set_final_mode(const string& destpath, uint32_t mode);
    bool inherits_acl(const pending_ptr& dir) const;
    // processfile and copyfile knowing whether the copy's directory has a default ACL.
    void process_file(const string& srcdirpath, const string& filename, const string& destbasepath,
                      const string& dirname, bool parent_acl);
    error_code copy_file(const string& srcdirpath, const string& filename, const string& destbasepath,
                         const string& dirname, bool parent_acl);
    // copydir without the final mode, which finalmode receives; default_acl tells in whether the
    // parent copy has a default ACL and out whether the new one has.
    error_code make_directory(const string& srcdirpath, const string& dirname, const string& destbasepath,
                              uint32_t& finalmode, bool& default_acl);
    // The data of a new copy, in place where the backend can, else by blocks; holes kept.
    error_code copy_data(const znfs::znfs_file_ptr& srcfp, const znfs::znfs_file_ptr& dstfp, uint64_t size);
    // Counts n items into (or, negative, out of) the pool's queue.
    void queued(int64_t n);
    // copyattr, telling whether it gave the copy a default ACL.
    error_code copy_attributes(const string& srcpath, const string& destpath, bool& set_default_acl);
    // Replaces the ACLs a copy inherited where its source has none.
    error_code drop_inherited_acls(const string& srcpath, const string& destpath, uint32_t mode, bool dir);

    // The same roots as m_iopx, where no final link is followed either.
    boost::shared_ptr<znfs::znfs_iopx> m_iopx_nofollow;
    // Counted by the workers without a lock.
    std::atomic<uint64_t> m_copied;
    std::atomic<uint64_t> m_failed;
    // Set before the copy starts, read by the workers: the backend cannot flush the whole
    // volume, so each copied file is flushed before it counts.
    bool m_sync_each_file;
    // Set before the copy starts: the snapshot directory has a default ACL.
    bool m_root_acl;
    std::atomic<int64_t> m_queued;
    std::atomic<uint64_t> m_queued_peak;
    int64_t m_queue_limit;  // items queued beyond which a lister copies the next entry itself
    // The snapshot directory's device and inode, which the walk never enters: another mount of
    // the same tree (a bind mount) can put it inside the dataset where no ".." chain shows it.
    uint64_t m_snapdir_dev = 0;
    uint64_t m_snapdir_ino = 0;
    bool m_snapdir_known = false;
};

}  // namespace znfssnapcreate

namespace znfssnapdelete {

// One snapshot deletion; see snap_opdelete. The steps are public so that each can be
// exercised alone.
class ZNFSSC_EXPORT znfssnapdelete : public znfssnapframe {
public:
    explicit znfssnapdelete(znfssnapcore_opinfo* opinfo);
    ~znfssnapdelete();

    // Runs the whole deletion. A record without snapfsapi, snapiopx, objfsapi, objiopx or
    // snapdir is refused with EINVAL (generic category) before anything is touched.
    error_code opdelete_start();

    // Removes batch files 1..m_threadcount left by an earlier run (a failed removal is returned),
    // then cuts the delete list into at most m_threadcount batch files; the split's result
    // (EINVAL for a count of 0).
    error_code deletelist_split();
    string get_snapdir();
    // Processes batch file N into hand-off file N; failures show only in the log.
    void snap_batchdel_thr(uint32_t thread_number);
    // Empties handofffile, then handles every name of batchfile in order (a name longer than any
    // path is skipped); errno (generic) when the hand-off file cannot be emptied (nothing
    // handled), the batch file does not open or a read fails (the names not reached are left
    // alone and counted as unresolved); EIO when a handed-on name was lost.
    error_code snap_delete_batch(string batchfile, string handofffile);
    // 0: handled here (no copy, unsafe name skipped, or its object dealt with); 1: the previous
    // snapshot needs it, or may. A name with a ".." component is never read or unlinked. Only
    // the uuid that was compared is unlinked: a copy whose uuid changed since is handed on.
    int32_t snap_handle_filedelete(string& name);
    // True when both copies of name carry equal non-empty uuids, or when that cannot be ruled
    // out: only a missing or empty attribute (either copy) or a missing previous copy (ENOENT,
    // ENOTDIR) answers false; any other failed read answers true, so the object is kept. It does
    // not judge whether either copy may have been swapped by a user who may write its directory:
    // snap_handle_filedelete does that before it unlinks.
    bool is_file_needed(const string& name);
    // Creates listpath afresh and appends hand-off files 1..m_threadcount that exist, in order.
    // A failed reopen or append is logged and the merge goes on; the last failure is returned.
    error_code create_prevsnap_dellist(string listpath);

    // Progress, safe to read from any thread while the deletion runs.
    uint64_t names_checked() const { return m_checked.load(std::memory_order_relaxed); }
    uint64_t names_handed_on() const { return m_handed_on.load(std::memory_order_relaxed); }
    uint64_t objects_unlinked() const { return m_unlinked.load(std::memory_order_relaxed); }
    // Objects that were to be unlinked but were not on the object volume (ENOENT): gone by an
    // earlier run, or the object volume is not the one the uuids name. Not counted as unlinked.
    uint64_t objects_missing() const { return m_missing.load(std::memory_order_relaxed); }
    // Listed names that ended neither unlinked, nor handed on, nor proven to need nothing
    // (names a stopped batch never reached and hand-off names that were lost included). Not
    // zero means opstatus -1: the same deletion run again resolves them.
    uint64_t names_unresolved() const { return m_unresolved.load(std::memory_order_relaxed); }
    // Listed names whose object was kept because a directory on the way to a copy (in this
    // snapshot or the previous one) may be changed by a user other than root and this
    // process's: such a copy may have been swapped for another one. Handed on, or without a
    // previous snapshot left alone; the log names each object kept. A rerun gives the same
    // answer, so they do not make opstatus -1.
    uint64_t names_unguarded() const { return m_unguarded.load(std::memory_order_relaxed); }

    uint32_t m_threadcount;

private:
    friend struct znfssnapcore::znfssnapcore_test_access;

    // The number of batches for a machine that reports this many hardware threads (0 when the
    // thread library cannot tell): never 0, since the split cannot cut a list into no pieces.
    static uint32_t batch_count(unsigned hardware_threads);

    enum class reference { needed, not_needed, unknown };
    // The reference check behind is_file_needed; thisuuid gets this copy's uuid ("" when it
    // has none) and read_this says whether it was read at all.
    reference check_reference(const string& name, string& thisuuid, bool& read_this);
    // snap_handle_filedelete without the count: unresolved is set when the name ended neither
    // unlinked, nor handed on, nor proven to need nothing.
    int32_t handle_name(const string& name, bool& unresolved);

    enum class guard { safe, unsafe, unknown, absent, sealed };
    // Whether the directories from root down to name's own may be changed only by root or by
    // this process's user: each one is, or one on the way can be searched by no one else
    // (sealed). Absent below a guarded one counts as safe: nobody else can have taken the copy
    // away. Verdicts are kept per directory: only root or the owner, one of those two, can
    // change the mode, owner or ACL that decide them.
    guard directories_guarded(const string& root, const string& name);
    guard directory_guard(const string& dir);
    // The attribute's value, up to 4 KiB, read in one call; its length, or -1 with errno.
    int64_t raw_getxattr(const string& path, const char* name, string& value);

    // The object volume as the deletion reaches it: below its root no link is followed.
    boost::shared_ptr<znfs::znfs_iopx> m_objiopx;
    std::atomic<uint64_t> m_checked;
    std::atomic<uint64_t> m_handed_on;
    std::atomic<uint64_t> m_unlinked;
    std::atomic<uint64_t> m_unresolved;
    std::atomic<uint64_t> m_unguarded;
    std::atomic<uint64_t> m_missing;
    std::mutex m_guard_mutex;
    std::unordered_map<string, guard> m_guarded;  // by directory path, under m_guard_mutex
};

// Reads attribute name of path into value (its text up to the first NUL). Returns the value's
// length, 0 for an empty value, -1 when a read fails (errno tells why); value is kept unless
// the read succeeded.
[[nodiscard]] ZNFSSC_EXPORT int64_t file_getxattr(znfs::znfs_api* api, boost::shared_ptr<znfs::znfs_iopx> iopx,
                                                  string path, string name, string& value, znfs::znfs_debug& logger);

// The number of processors listed in /proc/cpuinfo; 0 when it cannot be told.
[[nodiscard]] ZNFSSC_EXPORT uint32_t get_numcpucores();

}  // namespace znfssnapdelete

namespace glustersnap {

// Gluster volume snapshots through the gluster command-line tool (run without a shell).
class ZNFSSC_EXPORT glustersnap : public znfs::znfs_debug {
public:
    // Snapshot operations can take tens of seconds; a tool still running after this is hung.
    static constexpr int default_timeout_seconds = 300;
    // Each run of the tool is limited to timeout_seconds (<= 0: the default); past it the tool
    // and what it started are killed and the call returns ETIMEDOUT.
    explicit glustersnap(int timeout_seconds = default_timeout_seconds);
    // EINVAL before anything runs, for a name that is empty, holds a blank or a NUL, starts with
    // '-' or is a word the tool reads as a keyword (all, volume, force, no-timestamp,
    // description, in any case), and for a description holding a NUL, a word starting with "--"
    // (read as the tool's option) or a "force" after its first word (read as the force flag).
    // gluster snapshot create SNAPNAME VOLNAME no-timestamp description DESCRIPTION...
    [[nodiscard]] error_code create(const string& volname, const string& snapname, const string& description);
    // gluster --mode=script snapshot delete SNAPNAME
    [[nodiscard]] error_code remove(const string& snapname);

private:
    int m_timeout_seconds;
};

}  // namespace glustersnap

}  // namespace znfssnapcore

#endif
