#include "znfssc_frame.h"

namespace znfssnapcore {

error_code snap_opcreate(znfssnapcore_opinfo* opinfo)
{
    return frame::run<znfssnapcreate::znfssnapcreate>(opinfo, &znfssnapcreate::znfssnapcreate::opcreate_start,
                                                      "snap_opcreate");
}

namespace znfssnapcreate {

znfssnapcreate::znfssnapcreate(znfssnapcore_opinfo* opinfo)
    : m_znfsapi(nullptr), m_thpool_enabled(false), m_opinfo(opinfo), m_copied(0), m_failed(0)
{
    frame::construct(this, opinfo, "znfssnapcreate::znfssnapcreate");
}

znfssnapcreate::~znfssnapcreate() {}

error_code znfssnapcreate::opcreate_start() { return error_code(ENOSYS, std::generic_category()); }

}  // namespace znfssnapcreate
}  // namespace znfssnapcore
