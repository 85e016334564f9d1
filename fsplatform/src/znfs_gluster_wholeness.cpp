#include "znfs_gluster_internal.h"

#include <chrono>
#include <cstring>
#include <fcntl.h>

namespace znfs {
namespace gluster {
namespace {

// --- Whether the volume is whole.
//
// On a distributed volume "no such entry" and "end of directory" are answers only the whole
// volume can give, and libgfapi gives them without it. Tried on a local volume of two bricks
// with one brick process killed: every lookup of a name whose file lay on the dead brick
// answered ENOENT (by handle and by path, on an instance connected before the kill and on one
// connected after it, and with the client's distribute options lookup-optimize off and
// lookup-unhashed on), and a listing gave only the entries of the live brick, ending without
// an error. The distribute translator skips a subvolume it holds for down, or finds a hole in
// the directory's layout where that subvolume's range was, and answers from the others.
//
// What it holds for down is what it answers for the virtual attribute "dht.subvol.status" on
// any object: "1" while every one of its subvolumes is up, "0" otherwise. A subvolume there is
// a brick of a pure distribute volume, or a whole replica or disperse set, so a replicated
// volume with one brick down still reads as whole, as it should: its replicas answer for the
// brick that is down. The answer comes from the client's own state, with no round trip (12-30
// us per look on this 2-CPU machine, against 300-900 us for a lookup that finds nothing), and
// it is exactly the state the translator decides by, which neither the layout (cached, and
// with holes only where it was fetched during an outage) nor a probe of the bricks (its own
// race) would be.
//
// So an answer of absence (ENOENT or ESTALE, from any call, and the end of a listing) is given
// only when the volume was whole from before the call until after it; otherwise the call
// answers ENOTCONN. "Before" is a look that found the volume whole at most k_whole_reuse ago,
// shared by every thread of the instance; "after" is a fresh look once the answer is known; and
// no look of any thread in between may have found it not whole. Two looks that both find the
// volume whole bracket no outage when they are close enough: the client notices a dead brick at
// once (the connection breaks), but reconnects only on a timer, every 3 s (a brick killed and
// started again at once was seen up again 6 s after it was seen down). A bracket longer than
// k_whole_bracket (a slow call) proves nothing, and the call answers ENOTCONN. Any other answer
// is given as it came, save a read on a volume with replica sets (see below): an entry found
// exists, and a failure other than absence is a failure already. Cost on a healthy volume,
// measured here: no round trip; a stat that finds nothing took 167 us against 132 us through
// libgfapi alone (one brick) and 265 against 214 us (two bricks), the after-look; one that
// finds an entry took the same time as without the rule.
//
// The rule is deliberately coarse: while any subvolume is down, every absence is unknown, even
// of a name whose own brick is up. Which brick would hold a name the translator can tell
// ("dht.file.hashed-subvol.NAME" on the directory), but not whether that brick is up, and a
// creation or deletion that went on around the names it cannot see would still stop at its
// bookkeeping names, which hash anywhere. Both stop at their first such question instead, having
// copied or unlinked nothing, and run in full once the volume is whole again.
//
// A listing is read ahead in batches of k_list_batch entries, each fetched inside one bracket:
// a batch that may lack a subvolume's entries, whether it ends the listing or not, fails the
// listing with ENOTCONN. The client's readdir-ahead and negative-lookup cache are bypassed, so
// that no entry or absence reaches a caller from a fetch made outside its bracket.
//
// A replica set with one brick down reads as up to the distribute translator, but its bricks
// are not alike: one that was down while names were made lacks them until the self-heal has
// run, and once the brick that has them goes down in turn, the replicate translator answers
// from the stale one alone. Tried on a local replica 2 volume: a snapshot copied while brick 1
// was down (brick 1 back part-way), then brick 2 killed: every lookup of a name only brick 2
// had answered ENOENT, and a deletion took the previous snapshot's copies for absent and
// unlinked objects that snapshot still used. So a volume with replica sets is whole only while
// every brick of every set is up, as each replicate translator of this client records it
// ("child_up[i]" in its state file under the client's /.meta, read locally with no round trip).
//
// Nor is a success from such a brick an answer. Tried on the same volume: /f written and given
// its uuid with both bricks up, rewritten and given another while brick 1 was down, brick 1
// back (no heal) and then brick 2 killed: getxattr answered the old uuid, stat the old size, an
// open for reading succeeded, and a descriptor opened while both bricks were up read the old
// data, all without an error; a creation copied old data and uuids into a snapshot it called
// finished. So on a volume with replica sets a call that reads (a status, attributes, an open
// for reading, data) is taken only when the bracket holds around it too, and answers ENOTCONN
// otherwise (bracket::read_held). Writes answer as they came: what was written is written, and
// the heal carries it to the brick that missed it. This costs a whole replicated volume the
// closing look on every read, with no round trip: about 60 us measured here (most of it the open of
// the state file through libgfapi), against 150 us for a read of 32 KiB from the two bricks.
const std::chrono::milliseconds k_whole_reuse(100);
const std::chrono::milliseconds k_whole_bracket(1000);
const char* const k_whole_key = "dht.subvol.status";
const char* const k_graph_dir = "/.meta/graphs/active";

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

wholeness::wholeness(glfs_t* fs) : m_fs(fs)
{
    struct stat st;
    m_root = glfs_h_lookupat(fs, nullptr, "/", &st, 0);
    // A volume with no distribute translator answers no such attribute; whatever it
    // answers for a name or a listing, it answers from all of its bricks.
    char value[8];
    ssize_t n = m_root ? glfs_h_getxattrs(fs, m_root, k_whole_key, value, sizeof value) : -1;
    m_distributed = !(n < 0 && (errno == ENODATA || errno == EOPNOTSUPP || errno == ENOTSUP));
    // The replicate translators of the client's graph are named VOLUME-replicate-N.
    if (glfs_fd_t* dir = glfs_opendir(fs, k_graph_dir)) {
        while (struct dirent* de = glfs_readdir(dir)) {
            if (strstr(de->d_name, "-replicate-"))
                m_replica_sets.push_back(std::string(k_graph_dir) + "/" + de->d_name + "/private");
        }
        glfs_closedir(dir);
    }
    m_has_dht = m_distributed;
    if (!m_replica_sets.empty())
        m_distributed = true;
}

bool wholeness::replicas_whole()
{
    for (const std::string& path : m_replica_sets) {
        glfs_fd_t* fd = glfs_open(m_fs, path.c_str(), O_RDONLY);
        if (!fd)
            return false;
        std::string text;
        char buf[4096];
        ssize_t n;
        while ((n = glfs_read(fd, buf, sizeof buf, 0)) > 0 && text.size() < (1u << 20))
            text.append(buf, size_t(n));
        glfs_close(fd);
        // A state that cannot be read, or names no brick, proves nothing. Only whole lines
        // count: "halo_child_up[i]" is another record.
        const char* const key = "\nchild_up[";
        if (n < 0 || text.find(key) == std::string::npos)
            return false;
        for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
            size_t eq = text.find('=', at);
            size_t end = text.find('\n', at + 1);
            if (eq == std::string::npos || (end != std::string::npos && eq > end))
                return false;
            size_t v = text.find_first_not_of(' ', eq + 1);
            if (v == std::string::npos || text[v] != '1')
                return false;
        }
    }
    return true;
}

wholeness::~wholeness()
{
    if (m_root)
        glfs_h_close(m_root);
}

bool wholeness::whole_now(int64_t& at)
{
    char value[8];
    ssize_t n = m_root ? glfs_h_getxattrs(m_fs, m_root, k_whole_key, value, sizeof value) : -1;
    at = now_ns();
    bool whole = (!m_has_dht || (n > 0 && value[0] == '1')) && replicas_whole();
    std::atomic<int64_t>& last = whole ? m_last_whole : m_last_broken;
    int64_t seen = last.load(std::memory_order_relaxed);
    while (seen < at && !last.compare_exchange_weak(seen, at, std::memory_order_relaxed)) {
    }
    return whole;
}

int64_t wholeness::whole_since()
{
    if (!m_distributed)
        return 0;
    int64_t seen = m_last_whole.load(std::memory_order_relaxed);
    if (seen >= 0 && !broken_since(seen) && now_ns() - seen <= std::chrono::nanoseconds(k_whole_reuse).count())
        return seen;
    int64_t at = 0;
    return whole_now(at) ? at : -1;
}

bool bracket::held()
{
    if (!m_w || !m_w->distributed())
        return true;
    if (m_before < 0)
        return false;
    int64_t after = 0;
    return m_w->whole_now(after) && after - m_before <= std::chrono::nanoseconds(k_whole_bracket).count() &&
           !m_w->broken_since(m_before);
}

}  // namespace gluster
}  // namespace znfs
