#include <znfs/znfs_api.h>

#include <boost/make_shared.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace znfs {

znfs_iopx::~znfs_iopx() {}
znfs_file::~znfs_file() {}
znfs_api::~znfs_api() {}

boost::shared_ptr<znfs_mem::malloc_intfx> znfs_api::get_malloc_intfx() { return znfs_mem::default_malloc_intfx(); }

int64_t znfs_api::copy_range(znfs_file_ptr, uint64_t, znfs_file_ptr, uint64_t, uint64_t, znfs_aio_ptr)
{
    errno = EOPNOTSUPP;
    return -1;
}

namespace znfs_mem {

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZNFS_BLOCK_CACHE 0  // every block goes back to the heap, where the sanitizers watch it
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZNFS_BLOCK_CACHE 0
#endif
#endif
#ifndef ZNFS_BLOCK_CACHE
#define ZNFS_BLOCK_CACHE 1
#endif

// Page-aligned blocks kept by each thread for reuse. I/O buffers are taken and released at a
// high rate (a 32 KiB block per file copied, a page per list entry and per attribute value
// read), and an aligned allocation from the general heap splits and merges chunks on every
// call. A block is cached by its size in pages; a thread keeps a few of each small size, no
// more than k_budget bytes in all, and frees them when it ends.
class block_cache {
public:
    static constexpr uint64_t k_max_pages = 16;
    static constexpr int k_per_class = 4;
    static constexpr uint64_t k_budget = 256 * 1024;

    ~block_cache()
    {
        for (auto& c : m_classes)
            for (int i = 0; i < c.count; ++i)
                std::free(c.blocks[i]);
        t_state = dead;
    }

    // The calling thread's cache; null while the thread is being torn down.
    static block_cache* get()
    {
        if (t_state == dead)
            return nullptr;
        static thread_local block_cache t_cache;
        t_state = alive;
        return &t_cache;
    }

    void* take(uint64_t pages)
    {
        auto& c = m_classes[pages];
        if (c.count == 0)
            return nullptr;
        m_held -= pages * page_size();
        return c.blocks[--c.count];
    }

    // Keeps the block if there is room; false: the caller frees it.
    bool give(void* p, uint64_t pages)
    {
        auto& c = m_classes[pages];
        uint64_t bytes = pages * page_size();
        if (c.count == k_per_class || m_held + bytes > k_budget)
            return false;
        c.blocks[c.count++] = p;
        m_held += bytes;
        return true;
    }

    static uint64_t page_size()
    {
        static const uint64_t s_page = malloc_intfx::get_page_size();
        return s_page;
    }

private:
    enum state : unsigned char { unused, alive, dead };
    static thread_local state t_state;

    struct size_class {
        void* blocks[k_per_class];
        int count = 0;
    };
    size_class m_classes[k_max_pages + 1];
    uint64_t m_held = 0;
};

thread_local block_cache::state block_cache::t_state = block_cache::unused;

// Pages of a block that serves size bytes; 0 when the block is too large to be cached.
uint64_t cached_pages(uint64_t size)
{
    const uint64_t page = block_cache::page_size();
    uint64_t pages = size == 0 ? 1 : (size - 1) / page + 1;
    return ZNFS_BLOCK_CACHE && pages <= block_cache::k_max_pages ? pages : 0;
}

// A buffer and, in the same allocation as the shared count, the size class of its block;
// the block returns to the releasing thread's cache instead of the heap.
struct cached_buff {
    buff b;
    uint64_t pages;
    cached_buff(void* base, uint64_t size, uint64_t npages) : b(base, size), pages(npages) {}
    ~cached_buff()
    {
        block_cache* cache = block_cache::get();
        if (cache && cache->give(b.m_base, pages))
            b.m_base = nullptr;  // buff's destructor frees what is left
    }
};

}  // namespace

buff::~buff() { std::free(m_base); }

malloc_intfx::~malloc_intfx() {}

boost::shared_ptr<buff> malloc_intfx::posix_memalign(uint64_t alignment, uint64_t size)
{
    const uint64_t pages = alignment == block_cache::page_size() ? cached_pages(size) : 0;
    void* p = nullptr;
    if (pages != 0) {
        if (block_cache* cache = block_cache::get())
            p = cache->take(pages);
        // A fresh block has the full pages, so that it can serve any size of its class later.
        if (!p && ::posix_memalign(&p, alignment, pages * alignment) != 0)
            return boost::shared_ptr<buff>();
        try {
            boost::shared_ptr<cached_buff> holder = boost::make_shared<cached_buff>(p, size, pages);
            return boost::shared_ptr<buff>(holder, &holder->b);
        } catch (...) {
            std::free(p);
            throw;
        }
    }
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
