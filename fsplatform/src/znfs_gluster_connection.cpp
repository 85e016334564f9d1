#include "znfs_gluster_internal.h"
#include "znfs_mutex.h"

#include <chrono>
#include <map>
#include <memory>
#include <system_error>
#include <thread>

namespace znfs {
namespace gluster {
namespace {

// How long a connection may take before make_gluster_volume gives up on it. glfs_init
// waits for the volume file and every brick; an address that drops packets would hold it
// for minutes.
const std::chrono::seconds k_init_timeout(30);

// One connection attempt. Shared by the caller, who may stop waiting, and the thread that
// runs glfs_init, which may outlive the wait. m_fs is set before the thread starts and not
// changed after.
struct init_attempt {
    mutex m_mutex;
    cond_var m_cond;
    bool m_done GUARDED_BY(m_mutex) = false;
    bool m_abandoned GUARDED_BY(m_mutex) = false;
    int m_result GUARDED_BY(m_mutex) = 0;
    glfs_t* m_fs = nullptr;
};

void run_init(std::shared_ptr<init_attempt> a)
{
    int r = glfs_init(a->m_fs);
    int e = r == 0 ? 0 : errno_or_eio();
    if (r == 0) {
        // glfs_init can succeed with no brick up; the root answers only when one is.
        struct stat st;
        if (glfs_stat(a->m_fs, "/", &st) != 0)
            e = errno_or_eio();
    }
    bool abandoned;
    {
        mutex_lock lock(a->m_mutex);
        a->m_done = true;
        a->m_result = e;
        abandoned = a->m_abandoned;
    }
    a->m_cond.notify_all();
    // Nobody will take an instance whose caller gave up, nor one that failed.
    if (abandoned || e != 0)
        glfs_fini(a->m_fs);
}

// Sets up a libgfapi instance for host:port/volname; null with errno on failure.
glfs_t* connect_volume(const std::string& host, uint16_t port, const std::string& volname)
{
    glfs_t* fs = glfs_new(volname.c_str());
    if (!fs) {
        errno = ENOMEM;
        return nullptr;
    }
    // Level 0 is GF_LOG_NONE: libgfapi would otherwise write its own log beside the caller's.
    if (glfs_set_volfile_server(fs, "tcp", host.c_str(), port) != 0 || glfs_set_logging(fs, "/dev/null", 0) != 0) {
        int e = errno_or_eio();
        glfs_fini(fs);
        errno = e;
        return nullptr;
    }
    // Open-behind may answer an open without reaching the brick, and an open closed without
    // any I/O is the case it handles worst (libgfapi 10 has been seen to keep such handles).
    // A deletion opens and closes one file per listed name, so this client bypasses it:
    // every open here is real, and every close releases it on the brick.
    glfs_set_xlator_option(fs, "*-open-behind", "pass-through", "true");
    // A listing or a lookup that finds nothing is trusted only when made while the volume is
    // whole (see wholeness): entries read ahead and absences remembered from earlier, which
    // these translators would hand out when a volume enables them, were not.
    glfs_set_xlator_option(fs, "*-readdir-ahead", "pass-through", "true");
    glfs_set_xlator_option(fs, "*-nl-cache", "pass-through", "true");

    std::shared_ptr<init_attempt> a = std::make_shared<init_attempt>();
    a->m_fs = fs;
    try {
        std::thread(run_init, a).detach();
    } catch (const std::system_error& ex) {
        glfs_fini(fs);
        errno = ex.code().value() ? ex.code().value() : EAGAIN;
        return nullptr;
    }
    mutex_lock lock(a->m_mutex);
    const auto deadline = std::chrono::steady_clock::now() + k_init_timeout;
    while (!a->m_done && a->m_cond.wait_until(a->m_mutex, deadline)) {
    }
    if (!a->m_done) {
        a->m_abandoned = true;
        errno = ETIMEDOUT;
        return nullptr;
    }
    if (a->m_result != 0) {
        errno = a->m_result;
        return nullptr;
    }
    return fs;
}

// Contexts by "host:port/volname", for the life of the process. Each entry's mutex is held
// while its volume connects, so that concurrent first calls make one instance and a slow
// volume does not hold up the others; g_registry_mutex guards the map only.
struct registry_entry {
    mutex m_mutex;
    znfs_iopx_ptr m_volume GUARDED_BY(m_mutex);
};

mutex g_registry_mutex;
std::map<std::string, std::shared_ptr<registry_entry>>* g_registry GUARDED_BY(g_registry_mutex);

std::shared_ptr<registry_entry> registry_slot(const std::string& key)
{
    mutex_lock lock(g_registry_mutex);
    // Never destroyed: instances outlive static destruction, since handles may still be
    // open while the process ends.
    if (!g_registry)
        g_registry = new std::map<std::string, std::shared_ptr<registry_entry>>();
    std::shared_ptr<registry_entry>& slot = (*g_registry)[key];
    if (!slot)
        slot = std::make_shared<registry_entry>();
    return slot;
}

}  // namespace
}  // namespace gluster

bool is_gluster_volume(const znfs_iopx_ptr& iopx)
{
    return dynamic_cast<const gluster::gluster_volume*>(iopx.get()) != nullptr;
}

znfs_iopx_ptr make_gluster_volume(const std::string& host, uint16_t port, const std::string& volname,
                                  std::error_code& ec)
{
    if (host.empty() || volname.empty() || port == 0) {
        ec = errno_code(EINVAL);
        return znfs_iopx_ptr();
    }
    const std::string key = host + ":" + std::to_string(port) + "/" + volname;
    std::shared_ptr<gluster::registry_entry> slot = gluster::registry_slot(key);
    mutex_lock lock(slot->m_mutex);
    if (!slot->m_volume) {
        glfs_t* fs = gluster::connect_volume(host, port, volname);
        if (!fs) {
            ec = errno_code(errno_or_eio());
            return znfs_iopx_ptr();
        }
        slot->m_volume.reset(
            new gluster::gluster_volume(fs, "gluster://" + key, std::make_shared<gluster::wholeness>(fs)));
    }
    ec = std::error_code();
    return slot->m_volume;
}

}  // namespace znfs
