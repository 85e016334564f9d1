#include <znfssnapcore/znfssnapcore.h>

#include "faultfs.h"
#include "testvol.h"

#include <znfs/znfs_forward.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

using namespace znfssnapcore::znfssnaputils;
using testvol::TempVolume;

namespace {

struct entry {
    uint64_t offset;
    std::string text;
    uint64_t linelen;
};

// The reader loop every caller of fileptr_getline runs, empty entries included.
std::vector<entry> read_list(znfs::znfs_api* api, const TempVolume& vol, const std::string& path)
{
    std::vector<entry> out;
    znfs::znfs_file_ptr fp = api->open(vol.iopx(), path.c_str(), 0, znfs::znfs_aio_ptr());
    if (!fp)
        return out;
    for (uint64_t offset = 0; offset < fp->get_file_size();) {
        uint64_t linelen = 0;
        std::string line = fileptr_getline(api, fp, offset, linelen);
        out.push_back(entry{offset, line, linelen});
        offset += linelen + 1;
    }
    api->close(fp, znfs::znfs_aio_ptr());
    return out;
}

std::string getline_at(znfs::znfs_api* api, const TempVolume& vol, const std::string& path, uint64_t offset,
                       uint64_t& linelen)
{
    znfs::znfs_file_ptr fp = api->open(vol.iopx(), path.c_str(), 0, znfs::znfs_aio_ptr());
    std::string line = fileptr_getline(api, fp, offset, linelen);
    api->close(fp, znfs::znfs_aio_ptr());
    return line;
}

class ListFile : public ::testing::Test {
protected:
    TempVolume vol;
    znfs::znfs_api* api = vol.api();
};

}  // namespace

TEST_F(ListFile, ReaderLoopSeesEmptyEntryBetweenTwo)
{
    vol.write("/l", std::string("a\n\nb\n"));
    std::vector<entry> e = read_list(api, vol, "/l");
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[0].offset, 0u);
    EXPECT_EQ(e[0].text, "a");
    EXPECT_EQ(e[0].linelen, 1u);
    EXPECT_EQ(e[1].offset, 2u);
    EXPECT_EQ(e[1].text, "");
    EXPECT_EQ(e[1].linelen, 0u);
    EXPECT_EQ(e[2].offset, 3u);
    EXPECT_EQ(e[2].text, "b");
}

TEST_F(ListFile, EntriesOfExactly128BytesAndLonger)
{
    const std::string e128(128, 'x');
    const std::string e300(300, 'y');
    vol.write("/lf", e128 + "\n" + e300 + "\n");
    vol.write("/nolf", e128);

    FaultFs counting(api);
    uint64_t linelen = 0;
    EXPECT_EQ(getline_at(&counting, vol, "/lf", 0, linelen), e128);
    EXPECT_EQ(linelen, 128u);
    EXPECT_EQ(counting.calls("read"), 2u);
    EXPECT_EQ(getline_at(api, vol, "/lf", 129, linelen), e300);
    EXPECT_EQ(linelen, 300u);
    EXPECT_EQ(getline_at(api, vol, "/nolf", 0, linelen), e128);
    EXPECT_EQ(linelen, 128u);
    EXPECT_EQ(read_list(api, vol, "/nolf").size(), 1u);
}

TEST_F(ListFile, LastEntryWithoutTerminatorIsWhole)
{
    vol.write("/l", "abc");
    std::vector<entry> e = read_list(api, vol, "/l");
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].text, "abc");
    EXPECT_EQ(e[0].linelen, 3u);
}

TEST_F(ListFile, OffsetAtOrPastEndLeavesLinelen)
{
    vol.write("/l", "abc");
    for (uint64_t offset : {3u, 4u, 1000u}) {
        uint64_t linelen = 77;
        EXPECT_EQ(getline_at(api, vol, "/l", offset, linelen), "");
        EXPECT_EQ(linelen, 77u) << offset;
    }
}

TEST_F(ListFile, NulEndsAnEntryAndCarriageReturnStays)
{
    vol.write("/nul", std::string("ab\0cd\n", 6));
    std::vector<entry> e = read_list(api, vol, "/nul");
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].text, "ab");
    EXPECT_EQ(e[0].linelen, 2u);
    EXPECT_EQ(e[1].offset, 3u);
    EXPECT_EQ(e[1].text, "cd");

    vol.write("/cr", "a\r\n");
    e = read_list(api, vol, "/cr");
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].text, "a\r");
}

TEST_F(ListFile, FailedReadOrNoBufferLooksLikeEndOfData)
{
    vol.write("/l", "abc\n");
    FaultFs faulty(api);
    faulty.fail_op("read", EIO);
    uint64_t linelen = 9;
    EXPECT_EQ(getline_at(&faulty, vol, "/l", 0, linelen), "");
    EXPECT_EQ(linelen, 9u);

    // A failure after a full 128-byte piece drops what was gathered.
    vol.write("/long", std::string(200, 'z') + "\n");
    faulty.clear_faults();
    faulty.fail_op("read", EIO, "", 2);
    EXPECT_EQ(getline_at(&faulty, vol, "/long", 0, linelen), "");
    EXPECT_EQ(linelen, 9u);

    faulty.clear_faults();
    faulty.set_no_allocator(true);
    EXPECT_EQ(getline_at(&faulty, vol, "/l", 0, linelen), "");
    EXPECT_EQ(linelen, 9u);
}

TEST_F(ListFile, AddToListAppendsEntries)
{
    vol.write("/l", "x\n");
    filename_addtolist(api, vol.iopx(), "/l", "y");
    EXPECT_EQ(vol.read("/l"), "x\ny\n");
    filename_addtolist(api, vol.iopx(), "/l", "");
    EXPECT_EQ(vol.read("/l"), "x\ny\n\n");
    std::vector<entry> e = read_list(api, vol, "/l");
    ASSERT_EQ(e.size(), 3u);
    EXPECT_EQ(e[2].text, "");
}

TEST_F(ListFile, AddToListWritesNothingWithoutListOrBuffer)
{
    filename_addtolist(api, vol.iopx(), "/missing", "y");
    EXPECT_FALSE(vol.exists("/missing"));

    vol.write("/l", "x\n");
    FaultFs faulty(api);
    faulty.set_no_allocator(true);
    filename_addtolist(&faulty, vol.iopx(), "/l", "y");
    EXPECT_EQ(vol.read("/l"), "x\n");
    EXPECT_EQ(faulty.calls("write"), 0u);
    EXPECT_EQ(faulty.calls("open"), faulty.calls("close"));
}

namespace {

// Writes the first `keep` bytes of the next write, then fails it with ENOSPC, as a volume that
// fills up part-way through a write does.
class CutWrite : public znfs::znfs_api_forward {
public:
    CutWrite(znfs::znfs_api* target, uint64_t keep) : znfs::znfs_api_forward(target), m_keep(keep) {}
    int64_t write(znfs::znfs_file_ptr f, znfs::znfs_buff_ptr b, uint64_t length, int64_t offset, int32_t option,
                  znfs::znfs_aio_ptr aio) override
    {
        if (m_keep == 0)
            return znfs_api_forward::write(f, b, length, offset, option, aio);
        znfs_api_forward::write(f, b, std::min(length, m_keep), offset, option, aio);
        m_keep = 0;
        errno = ENOSPC;
        return -1;
    }

private:
    uint64_t m_keep;
};

std::vector<std::string> texts(const std::vector<entry>& entries)
{
    std::vector<std::string> out;
    for (const entry& e : entries)
        if (!e.text.empty())
            out.push_back(e.text);
    return out;
}

}  // namespace

// An added name is one entry of the list, or nothing is added: it is never cut in two nor
// joined to another entry (either would name files nobody listed).
TEST_F(ListFile, AddToListNeverSplitsNorJoinsNames)
{
    const struct {
        std::string before;
        std::string name;
        uint64_t cut;  // the write fails after this many bytes; 0: it does not fail
        std::string after;
    } cases[] = {
        {"x\n", "a\nb", 0, "x\n"},
        {"x\n", std::string("c\0d", 3), 0, "x\n"},
        {"x\n", "d\n", 0, "x\n"},
        {"x", "y", 0, "x"},
        {"x\ndocs", "y", 0, "x\ndocs"},
        {std::string("x\0", 2), "y", 0, std::string("x\0y\n", 4)},
        {"", "y", 0, "y\n"},
        {"x\n", "docs/a.txt", 4, "x\n\n\n\n\n"},
        {"x\n", "docs/a.txt", 10, "x\n" + std::string(10, '\n')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("before [" + c.before + "] name [" + c.name + "] cut " + std::to_string(c.cut));
        vol.write("/l", c.before);
        CutWrite faulty(api, c.cut);
        filename_addtolist(&faulty, vol.iopx(), "/l", c.name);
        EXPECT_EQ(vol.read("/l"), c.after);
        // The next name added after a write that failed is an entry of its own.
        if (c.cut != 0) {
            filename_addtolist(api, vol.iopx(), "/l", "img/b.png");
            EXPECT_EQ(texts(read_list(api, vol, "/l")), (std::vector<std::string>{"x", "img/b.png"}));
        }
    }
}

TEST_F(ListFile, ExistsAndEmpty)
{
    EXPECT_FALSE(file_exists(api, vol.iopx(), "/missing"));
    EXPECT_TRUE(is_file_empty(api, vol.iopx(), "/missing"));
    vol.write("/empty", "");
    EXPECT_TRUE(file_exists(api, vol.iopx(), "/empty"));
    EXPECT_TRUE(is_file_empty(api, vol.iopx(), "/empty"));
    vol.write("/full", "a\n");
    EXPECT_TRUE(file_exists(api, vol.iopx(), "/full"));
    EXPECT_FALSE(is_file_empty(api, vol.iopx(), "/full"));

    FaultFs faulty(api);
    faulty.fail_op("open", EACCES);
    EXPECT_FALSE(file_exists(&faulty, vol.iopx(), "/full"));
    EXPECT_TRUE(is_file_empty(&faulty, vol.iopx(), "/full"));
}
