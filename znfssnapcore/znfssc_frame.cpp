#include "znfssc_frame.h"

namespace znfssnapcore {

znfssnapframe::znfssnapframe(znfssnapcore_opinfo* opinfo, const char* fn)
    : m_znfsapi(nullptr), m_thpool_enabled(false), m_opinfo(opinfo)
{
    if (opinfo) {
        opinfo->opstatus = -1;
        opinfo->prevsnap_dellist.clear();
    }
    m_thpool = znfs::znfs_thpool::create();
    if (!m_thpool) {
        debug(fn, -1, "Failed to allocate threadpool");
        return;
    }
    m_thpool->enable_thpool(0);
    m_thpool_enabled = true;
}

// Does not wait for workers: a start method that posted work has waited for it already.
znfssnapframe::~znfssnapframe() {}

}  // namespace znfssnapcore
