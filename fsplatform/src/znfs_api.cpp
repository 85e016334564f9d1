#include <znfs/znfs_api.h>

#include <cstdlib>

namespace znfs {

znfs_iopx::~znfs_iopx() {}
znfs_file::~znfs_file() {}
znfs_api::~znfs_api() {}

boost::shared_ptr<znfs_mem::malloc_intfx> znfs_api::get_malloc_intfx() { return znfs_mem::default_malloc_intfx(); }

namespace znfs_mem {

buff::~buff() { std::free(m_base); }

malloc_intfx::~malloc_intfx() {}

boost::shared_ptr<buff> malloc_intfx::posix_memalign(uint64_t alignment, uint64_t size)
{
    void* p = nullptr;
    // A zero-byte request still gets a distinct, freeable block.
    if (::posix_memalign(&p, alignment, size == 0 ? 1 : size) != 0)
        return boost::shared_ptr<buff>();
    try {
        return boost::shared_ptr<buff>(new buff(p, size));
    } catch (...) {
        std::free(p);
        throw;
    }
}

boost::shared_ptr<malloc_intfx> default_malloc_intfx()
{
    // Immutable after construction, so shared by every thread without a lock.
    static const boost::shared_ptr<malloc_intfx> s_allocator(new malloc_intfx());
    return s_allocator;
}

}  // namespace znfs_mem
}  // namespace znfs
