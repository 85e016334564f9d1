#include <znlib/znprocess.h>
#include <cerrno>
// Placeholder.
int ZnProcess::system(const char*, std::string*, std::string*, int, bool) { errno = ENOSYS; return -1; }
