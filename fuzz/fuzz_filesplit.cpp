// filesplit over an arbitrary list and split count (the first input byte): the pieces hold
// the list byte for byte, each but the last ends at a terminator, there are at most the
// split count of them, numbered 1..k; a split count of 0 is refused and writes nothing.

#include <znfssnapcore/znfssnapcore.h>

#include "fuzz_volume.h"

#include <cerrno>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    fuzzvol::Volume& vol = fuzzvol::Volume::get();
    const uint32_t splitcount = data[0];
    const std::string list(reinterpret_cast<const char*>(data + 1), size - 1);
    vol.write("/list", list.data(), list.size());

    znfs::znfs_debug logger;
    std::error_code ec =
        znfssnapcore::znfssnaputils::filesplit(vol.api(), vol.iopx(), "/list", splitcount, "/piece", logger);
    if (splitcount == 0 ? ec != std::error_code(EINVAL, std::generic_category()) : static_cast<bool>(ec))
        std::abort();

    std::string joined, piece;
    uint32_t count = 0;
    while (vol.read("/piece" + std::to_string(count + 1), piece)) {
        ++count;
        if (piece.empty() || count > splitcount)
            std::abort();
        if (joined.size() + piece.size() < list.size() && piece.back() != '\n' && piece.back() != '\0')
            std::abort();
        joined += piece;
        vol.remove("/piece" + std::to_string(count));
    }
    if (vol.names().size() != 1)  // only the list: no piece numbered past the count
        std::abort();
    if (splitcount != 0 && joined != list)
        std::abort();
    return 0;
}
