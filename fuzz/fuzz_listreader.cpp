// The list reader loop over arbitrary bytes: every entry it returns is free of terminators, has
// linelen equal to its size, matches the bytes at its offset and ends at a terminator or at
// the end of the file; the loop ends within size + 1 steps.

#include <znfssnapcore/znfssnapcore.h>

#include "fuzz_volume.h"

#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using znfssnapcore::znfssnaputils::fileptr_getline;
    fuzzvol::Volume& vol = fuzzvol::Volume::get();
    vol.write("/list", data, size);
    const char* bytes = reinterpret_cast<const char*>(data);

    znfs::znfs_api* api = vol.api();
    znfs::znfs_file_ptr fp = api->open(vol.iopx(), "/list", 0, znfs::znfs_aio_ptr());
    if (!fp || fp->get_file_size() != size)
        std::abort();
    uint64_t steps = 0;
    for (uint64_t offset = 0; offset < fp->get_file_size();) {
        if (++steps > size + 1)
            std::abort();
        uint64_t linelen = 0;
        std::string line = fileptr_getline(api, fp, offset, linelen);
        if (linelen != line.size() || line.find('\n') != std::string::npos ||
            line.find('\0') != std::string::npos)
            std::abort();
        if (offset + linelen > size || std::memcmp(bytes + offset, line.data(), linelen) != 0)
            std::abort();
        uint64_t end = offset + linelen;
        if (end < size && bytes[end] != '\n' && bytes[end] != '\0')
            std::abort();
        offset = end + 1;
    }
    api->close(fp, znfs::znfs_aio_ptr());
    return 0;
}
