#include <znfs/znfs_gluster.h>

#include <errno.h>
#include <stdlib.h>

namespace znfs {

std::error_code parse_gluster_url(const std::string& url, std::string& host, uint16_t& port, std::string& volname)
{
    static const std::string scheme = "gluster://";
    if (url.compare(0, scheme.size(), scheme) != 0)
        return errno_code(EINVAL);
    size_t slash = url.find('/', scheme.size());
    if (slash == std::string::npos)
        return errno_code(EINVAL);
    std::string authority = url.substr(scheme.size(), slash - scheme.size());
    std::string vol = url.substr(slash + 1);
    if (!vol.empty() && vol.back() == '/')
        vol.pop_back();
    if (vol.empty() || vol.find('/') != std::string::npos)
        return errno_code(EINVAL);

    std::string h;
    std::string p;
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos)
            return errno_code(EINVAL);
        h = authority.substr(1, close - 1);
        std::string rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':')
                return errno_code(EINVAL);
            p = rest.substr(1);
            if (p.empty())
                return errno_code(EINVAL);
        }
    } else {
        size_t colon = authority.find(':');
        h = authority.substr(0, colon);
        if (colon != std::string::npos) {
            p = authority.substr(colon + 1);
            if (p.empty())
                return errno_code(EINVAL);
        }
    }
    if (h.empty())
        return errno_code(EINVAL);

    unsigned long number = gluster_default_port;
    if (!p.empty()) {
        if (p.find_first_not_of("0123456789") != std::string::npos || p.size() > 5)
            return errno_code(EINVAL);
        number = strtoul(p.c_str(), nullptr, 10);
        if (number == 0 || number > 65535)
            return errno_code(EINVAL);
    }
    host = h;
    port = static_cast<uint16_t>(number);
    volname = vol;
    return std::error_code();
}

}  // namespace znfs
