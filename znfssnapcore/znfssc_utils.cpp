#include <znfssnapcore/znfssnapcore.h>

namespace znfssnapcore {
namespace znfssnaputils {

// Built in this order during library initialisation, before any entry point can run.
const string sdellistdir = "/.delete";
const string sdelfilelist = sdellistdir + "/deletefilelist";
const string sdelfilebatch = sdellistdir + "/delfilebatch_thr";
const string sdelfilebatch_prevsnap = sdellistdir + "/delfilebatch_prevsnap_thr";
const string sdelfilelist_prevsnap = sdellistdir + "/deletefilelist_prevsnap";

}  // namespace znfssnaputils
}  // namespace znfssnapcore
