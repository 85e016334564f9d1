#ifndef ZNFS_TEST_ACCESS_H
#define ZNFS_TEST_ACCESS_H

// What the operation classes keep from hosts and show to their own tests only: the header
// declares this struct a friend of both, and nothing outside the tests defines it.

#include <znfssnapcore/znfssnapcore.h>

#include <stdint.h>

namespace znfssnapcore {

struct znfssnapcore_test_access {
    static uint32_t batch_count(unsigned hardware_threads)
    {
        return znfssnapdelete::znfssnapdelete::batch_count(hardware_threads);
    }
    static uint64_t queued_peak(const znfssnapcreate::znfssnapcreate& op) { return op.queued_peak(); }
    // 0 makes every lister copy its entries itself, as under a queue that stays full.
    static void set_queue_limit(znfssnapcreate::znfssnapcreate& op, int64_t limit) { op.m_queue_limit = limit; }
};

}  // namespace znfssnapcore

#endif
