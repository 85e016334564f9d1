#ifndef ZNFSSNAP_KILL_HOOK_H
#define ZNFSSNAP_KILL_HOOK_H

// Test hook of the commands that change volumes (create, destroy, rmtree): with ZNFSSNAP_TEST_KILL_AT=N
// in the environment the run kills itself with SIGKILL right before its Nth call that would
// change a volume, so that a test can cut it short at every such point and check what a rerun
// makes of it. With ZNFSSNAP_TEST_FAIL_AT=N the Nth such call is carried out and then reported
// failed (EIO), as by a backend whose answer was lost. Without either nothing is wrapped.

#include "operations.h"

#include <atomic>
#include <memory>

namespace znfssnap {

class killing_api;

class kill_hook {
public:
    kill_hook();
    ~kill_hook();
    kill_hook(const kill_hook&) = delete;
    kill_hook& operator=(const kill_hook&) = delete;

    // Puts a wrapper in front of v (and of o when given) when the hook is asked for; the calls
    // of both count towards one N. The hook must outlive every use of the volumes.
    void arm(opened_volume& v, opened_volume* o = nullptr);

private:
    std::atomic<long> m_calls{0};
    std::unique_ptr<killing_api> m_vol, m_obj;
};

}  // namespace znfssnap

#endif
