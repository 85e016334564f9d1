#include "znfssc_frame.h"

namespace znfssnapcore {

error_code snap_opdelete(znfssnapcore_opinfo* opinfo)
{
    return frame::run<znfssnapdelete::znfssnapdelete>(opinfo, &znfssnapdelete::znfssnapdelete::opdelete_start,
                                                      "snap_opdelete");
}

namespace znfssnapdelete {

znfssnapdelete::znfssnapdelete(znfssnapcore_opinfo* opinfo)
    : m_znfsapi(nullptr), m_thpool_enabled(false), m_opinfo(opinfo), m_threadcount(0), m_checked(0),
      m_handed_on(0), m_unlinked(0)
{
    frame::construct(this, opinfo, "znfssnapdelete::znfssnapdelete");
}

znfssnapdelete::~znfssnapdelete() {}

error_code znfssnapdelete::opdelete_start() { return error_code(ENOSYS, std::generic_category()); }

}  // namespace znfssnapdelete
}  // namespace znfssnapcore
