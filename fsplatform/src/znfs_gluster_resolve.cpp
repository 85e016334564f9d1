#include "znfs_gluster_internal.h"

#include <limits.h>

#include <algorithm>

// --- Resolution in a confined context.
//
// libgfapi resolves a path itself, component by component, and follows every symbolic link on
// the way; the follow flag of glfs_h_lookupat spares only a final one. A confined context must
// follow none, so it never hands libgfapi more than one name at a time: it looks each component
// up below the object of the one before (glfs_h_lookupat, follow 0), refuses a link with ELOOP,
// and takes ".." back to the object it came from, never above the root the path lies in
// (EXDEV). Each root was resolved once, when the context was made, to an object held from then
// on, so a link or a rename above a root later changes nothing below it. Every call of such a
// context then works on the object found (handle calls), never on a path libgfapi would resolve
// again.

namespace znfs {
namespace gluster {
namespace {

// The symbolic links one confined resolution may follow (the kernel's limit).
const int k_max_links = 40;

// The target of the link obj, NUL-terminated in buf; false with errno.
bool read_link(glfs_t* fs, glfs_object_t* obj, char (&buf)[PATH_MAX])
{
    int n = glfs_h_readlink(fs, obj, buf, sizeof buf);
    if (n < 0) {
        errno = errno_or_eio();
        return false;
    }
    if (static_cast<size_t>(n) >= sizeof buf) {
        errno = ENAMETOOLONG;
        return false;
    }
    buf[n] = '\0';
    return true;
}

// Appends the components of path to parts, in order.
void split_components(const std::string& path, std::vector<std::string>& parts)
{
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos)
            slash = path.size();
        if (slash > at)
            parts.push_back(path.substr(at, slash - at));
        at = slash + 1;
    }
}

// Walks rest (the part of path below a, or below the volume root when a is null) one name at a
// time from the held object, following no link. A final link, when the call may follow it
// (follow_final), is read: its target, joined to the link's directory when relative, must lie
// beneath the same root (EXDEV), and is then walked from that root as openat2 with
// RESOLVE_BENEATH walks it: a further link is followed only when relative and while it stays
// beneath. The result goes to out; false with errno.
bool walk(const gluster_volume& v, const anchor* a, const std::string& path, const std::string& rest,
          bool follow_final, located& out)
{
    glfs_t* fs = v.fs();
    glfs_object_t* const start = a ? a->obj : v.root();
    const mode_t start_type = a ? a->type : S_IFDIR;
    // The objects walked through, start first (not owned); ".." goes back one.
    std::vector<glfs_object_t*> chain{start};
    std::vector<mode_t> types{start_type};
    struct drop_chain {
        std::vector<glfs_object_t*>& c;
        ~drop_chain()
        {
            int e = errno;
            for (size_t i = 1; i < c.size(); ++i)
                glfs_h_close(c[i]);
            errno = e;
        }
    } drop{chain};
    auto back_to_start = [&] {
        for (size_t i = 1; i < chain.size(); ++i)
            glfs_h_close(chain[i]);
        chain.resize(1);
        types.resize(1);
    };

    // Components still to walk, the next one last.
    std::vector<std::string> todo;
    split_components(rest, todo);
    std::reverse(todo.begin(), todo.end());
    bool beneath = false;  // walking the target of a followed final link
    int links = 0;
    struct stat st {};
    bool have_st = false;
    char target[PATH_MAX];
    while (!todo.empty()) {
        std::string name = std::move(todo.back());
        todo.pop_back();
        if (!S_ISDIR(types.back())) {
            errno = ENOTDIR;
            return false;
        }
        if (name == ".")
            continue;
        if (name == "..") {
            if (chain.size() == 1) {
                if (a) {
                    errno = EXDEV;
                    return false;
                }
                continue;  // ".." of the volume root is the root
            }
            glfs_h_close(chain.back());
            chain.pop_back();
            types.pop_back();
            have_st = false;
            continue;
        }
        object_ref found(glfs_h_lookupat(fs, chain.back(), name.c_str(), &st, 0));
        if (!found) {
            errno = errno_or_eio();
            return false;
        }
        if (!S_ISLNK(st.st_mode)) {
            chain.push_back(found.release());
            types.push_back(st.st_mode & S_IFMT);
            have_st = true;
            continue;
        }
        if (beneath) {
            if (++links > k_max_links) {
                errno = ELOOP;
                return false;
            }
            if (!read_link(fs, found.get(), target))
                return false;
            if (target[0] == '/') {
                errno = EXDEV;
                return false;
            }
            std::vector<std::string> parts;
            split_components(target, parts);
            todo.insert(todo.end(), parts.rbegin(), parts.rend());
            continue;
        }
        if (!todo.empty() || !follow_final || !a || !v.follow_final()) {
            errno = ELOOP;
            return false;
        }
        if (!read_link(fs, found.get(), target))
            return false;
        std::string full;
        if (target[0] == '/') {
            full = target;
        } else {
            size_t slash = path.rfind('/');
            full = path.substr(0, slash == std::string::npos ? 0 : slash) + "/" + target;
        }
        volpath joined;
        std::string below;
        bool exact = false;
        if (!joined.set(full.c_str()) || v.anchor_of(joined.path, below, exact) != a) {
            errno = EXDEV;
            return false;
        }
        back_to_start();
        split_components(below, todo);
        std::reverse(todo.begin(), todo.end());
        beneath = true;
        links = 1;
        have_st = false;
        out.followed = true;
    }
    if (chain.size() == 1) {
        // The walk ended where it began: the held object serves, with a fresh status.
        if (glfs_h_stat(fs, start, &out.st) != 0) {
            errno = errno_or_eio();
            return false;
        }
        out.obj = start;
        out.fresh = true;
        return true;
    }
    if (!have_st && glfs_h_stat(fs, chain.back(), &st) != 0) {
        errno = errno_or_eio();
        return false;
    }
    out.st = st;
    out.fresh = true;
    out.own(chain.back());
    chain.pop_back();
    return true;
}

}  // namespace

bool lookup(const gluster_volume& v, const std::string& path, final_use use, located& out)
{
    const anchor* a = nullptr;
    std::string rest;
    bool exact = false;
    if (v.confined())
        a = v.anchor_of(path, rest, exact);
    if (!v.confined() || exact) {
        glfs_object_t* o = glfs_h_lookupat(v.fs(), nullptr, path.c_str(), &out.st, use == final_use::itself ? 0 : 1);
        if (!o) {
            errno = errno_or_eio();
            return false;
        }
        out.own(o);
        out.fresh = true;
        return true;
    }
    if (a && !a->obj) {
        errno = a->err;
        return false;
    }
    if (!a)
        rest = path;
    return walk(v, a, path, rest, use == final_use::read, out);
}

bool lookup_parent(const gluster_volume& v, const volpath& p, const std::string& dir, located& out)
{
    std::string rest;
    bool exact = false;
    const anchor* a = v.confined() ? v.anchor_of(p.path, rest, exact) : nullptr;
    if (!a)
        return lookup(v, dir, final_use::other, out);
    if (!a->obj) {
        errno = a->err;
        return false;
    }
    size_t slash = rest.rfind('/');
    return walk(v, a, dir, slash == std::string::npos ? std::string() : rest.substr(0, slash), false, out);
}

glfs_object_t* duplicate(glfs_t* fs, glfs_object_t* obj)
{
    unsigned char id[GFAPI_HANDLE_LENGTH];
    if (glfs_h_extract_handle(obj, id, sizeof id) < 0) {
        errno = errno_or_eio();
        return nullptr;
    }
    glfs_object_t* copy = glfs_h_create_from_handle(fs, id, sizeof id, nullptr);
    if (!copy)
        errno = errno_or_eio();
    return copy;
}

}  // namespace gluster
}  // namespace znfs
