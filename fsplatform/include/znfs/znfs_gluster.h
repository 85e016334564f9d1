#ifndef ZNFS_GLUSTER_H
#define ZNFS_GLUSTER_H

// The GlusterFS backend: a volume is a Gluster volume reached over libgfapi, for datasets that
// outgrow one machine. It keeps the service contract (znfs_api.h) as follows.
//
// - One libgfapi instance per host:port/volume and process, shared by every thread and by
//   every context made for it. It is never torn down: glfs_fini waits out an internal timer
//   (about ten seconds after any I/O) and must not run while a handle is open, so the
//   instance lives until the process ends.
// - Paths are resolved by libgfapi inside the volume, which follows links, absolute ones from
//   the volume root. Names are made below their directory's object, so the last component is
//   never followed, and the exact mode is set on the new object itself, since the brick masks
//   it at creation (storage.create-mask, set-id bits).
// - A context made by confine shares its volume's instance and holds each root as the object it
//   resolved to. libgfapi follows every link inside a path it resolves, so such a context never
//   gives it one: each name is looked up alone below the object of the directory before it, a
//   link met is refused or (a read's final link, when asked) followed by the backend itself,
//   and every call acts on the object found.
// - Every handle is really opened on the brick (the client's open-behind is bypassed), so an
//   open followed by a close without I/O leaves nothing behind.
// - What a pool task keeps is an object handle per path: a name replaced meanwhile answers
//   ESTALE once the file the task first reached is gone. An attribute size query (an empty
//   iovec) fetches the value whole: the read of the same attribute that follows it in the task
//   gets that value, with no second round trip to the brick.
// - Absence is certain as the contract asks: "no such entry" (ENOENT, ESTALE) and the end of a
//   listing are answered only when the volume was whole, every subvolume of its distribution
//   up as this client sees it, from before the call until after it; otherwise the call
//   answers ENOTCONN, and a listing fails with ENOTCONN rather than end without the entries of
//   a brick that is down. A replica set counts as up only while every one of its bricks is
//   (the brick left may have missed updates), and on a volume with replica sets a read (stat,
//   getxattr, listxattr, an open for reading, a read of data) is held to the same rule when it
//   succeeds: ENOTCONN rather than what a stale brick holds. Writes are answered as they come.
//   A disperse set that still answers counts as up. The client's readdir-ahead and
//   negative-lookup cache are bypassed. (The reasoning and what it costs:
//   znfs_gluster_wholeness.cpp.)
// - listxattr leaves out the volume's own attributes (trusted.gfid, trusted.gfid2path.*,
//   trusted.glusterfs.*).
// - copy_range has the brick copy the data (libgfapi's copy_file_range: it never reaches the
//   client) for a range of 32 KiB and more that starts at offset 0 of a source without holes,
//   on a volume of one brick; the rest of a range, a smaller one (cheaper so), or all of it
//   where the source has holes (sources of 1 MiB and more are looked at), is read and written
//   by the backend itself, holes kept. A volume of more bricks (distribute, replicate,
//   disperse) or with shards answers EOPNOTSUPP before anything moved, and files of two volumes
//   EXDEV: the caller reads and writes. (Why, and what libgfapi 10 does otherwise:
//   znfs_gluster_copy.cpp.)
// - syncfs answers ENOTSUP: libgfapi has no volume-wide flush. fsync of a directory does
//   nothing, since the bricks order directory changes themselves.
// - Built without libgfapi, make_gluster_volume fails with ENOTSUP and every call of
//   gluster_api() fails with ENOTSUP.

#include <znfs/znfs_api.h>

#include <stdint.h>

#include <string>

namespace znfs {

// The port glusterd serves volume files on.
const uint16_t gluster_default_port = 24007;

// The service object of the Gluster backend; one serves any number of volumes.
ZNFS_EXPORT znfs_api* gluster_api();

// Connects to volume volname through the glusterd at host:port, or hands out the context
// already made for them in this process. Empty with ec set on failure: ENOENT unknown
// volume, ENOTCONN no server or brick answering, ETIMEDOUT no answer within 30 seconds,
// ENOTSUP no libgfapi in this build. A failed attempt is not remembered: the next call tries
// again.
ZNFS_EXPORT znfs_iopx_ptr make_gluster_volume(const std::string& host, uint16_t port, const std::string& volname,
                                              std::error_code& ec);

// Whether iopx is a context of this backend (a volume or a confined context made on one): its
// calls wait on the network, so callers overlap more of them than they have processors.
ZNFS_EXPORT bool is_gluster_volume(const znfs_iopx_ptr& iopx);

// Splits "gluster://HOST[:PORT]/VOLNAME" (HOST may be a bracketed IPv6 address; PORT
// defaults to gluster_default_port). EINVAL when url has another form; outputs are then
// unchanged.
ZNFS_EXPORT std::error_code parse_gluster_url(const std::string& url, std::string& host, uint16_t& port,
                                              std::string& volname);

}  // namespace znfs

#endif
