#include <znfssnapcore/znfssnapcore.h>

#include "faultfs.h"
#include "testvol.h"

#include <znfs/znfs_forward.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <random>
#include <string>
#include <vector>

using namespace znfssnapcore::znfssnaputils;
using std::error_code;
using testvol::LogCapture;
using testvol::TempVolume;

namespace {

const znfs::znfs_aio_ptr k_sync;

// Records the length and offset of every read and write; writes can be made short.
class Recorder : public znfs::znfs_api_forward {
public:
    struct io {
        char op;
        uint64_t length;
        int64_t offset;
    };
    explicit Recorder(znfs::znfs_api* target) : znfs::znfs_api_forward(target) {}

    int64_t read(znfs::znfs_file_ptr f, znfs::znfs_buff_ptr b, uint64_t length, int64_t offset, int32_t option,
                 znfs::znfs_aio_ptr aio) override
    {
        ios.push_back(io{'r', length, offset});
        return znfs_api_forward::read(f, b, length, offset, option, aio);
    }
    int64_t write(znfs::znfs_file_ptr f, znfs::znfs_buff_ptr b, uint64_t length, int64_t offset, int32_t option,
                  znfs::znfs_aio_ptr aio) override
    {
        ios.push_back(io{'w', length, offset});
        return znfs_api_forward::write(f, b, std::min(length, max_write), offset, option, aio);
    }

    std::vector<io> ios;
    uint64_t max_write = UINT64_MAX;
};

std::string pattern(size_t n, unsigned seed = 1)
{
    std::string s(n, '\0');
    std::mt19937 gen(seed);
    for (char& c : s)
        c = static_cast<char>(gen());
    return s;
}

class FileCopy : public ::testing::Test {
protected:
    void SetUp() override { vol.mkdir("/d"); }

    znfs::znfs_file_ptr open(const std::string& path, int32_t flags)
    {
        return api->open(vol.iopx(), path.c_str(), flags, k_sync);
    }
    error_code copy(znfs::znfs_api* via, const std::string& src, const std::string& dst, uint64_t size)
    {
        znfs::znfs_file_ptr s = via->open(vol.iopx(), src.c_str(), 0, k_sync);
        znfs::znfs_file_ptr d = via->open(vol.iopx(), dst.c_str(), 0x241, k_sync);
        error_code ec = file_copy(via, s, 0, d, 0, size, logger);
        via->close(s, k_sync);
        via->close(d, k_sync);
        return ec;
    }
    error_code split(znfs::znfs_api* via, const std::string& list, uint32_t count)
    {
        vol.write("/d/list", list);
        return filesplit(via, vol.iopx(), "/d/list", count, "/d/piece", logger);
    }
    // Piece files in number order; fails the test when the numbers are not 1..k.
    std::vector<std::string> pieces()
    {
        std::vector<std::string> out;
        size_t files = vol.list("/d").size() - 1;
        for (size_t n = 1; vol.exists("/d/piece" + std::to_string(n)); ++n)
            out.push_back(vol.read("/d/piece" + std::to_string(n)));
        EXPECT_EQ(out.size(), files) << "piece files not numbered 1..k";
        return out;
    }

    TempVolume vol;
    znfs::znfs_api* api = vol.api();
    znfs::znfs_debug logger;
};

}  // namespace

TEST_F(FileCopy, BlocksOf32KAdvanceBothOffsets)
{
    const std::string data = pattern(70000);
    vol.write("/d/src", data);
    vol.write("/d/dst", "");
    Recorder rec(api);
    znfs::znfs_file_ptr s = open("/d/src", 0);
    znfs::znfs_file_ptr d = open("/d/dst", 1);
    ASSERT_FALSE(file_copy(&rec, s, 0, d, 10, 70000, logger));
    api->close(d, k_sync);
    ASSERT_EQ(rec.ios.size(), 6u);
    const uint64_t len[] = {32768, 32768, 4464};
    const int64_t at[] = {0, 32768, 65536};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(rec.ios[2 * i].op, 'r');
        EXPECT_EQ(rec.ios[2 * i].length, len[i]);
        EXPECT_EQ(rec.ios[2 * i].offset, at[i]);
        EXPECT_EQ(rec.ios[2 * i + 1].op, 'w');
        EXPECT_EQ(rec.ios[2 * i + 1].length, len[i]);
        EXPECT_EQ(rec.ios[2 * i + 1].offset, at[i] + 10);
    }
    EXPECT_EQ(vol.read("/d/dst"), std::string(10, '\0') + data);
}

TEST_F(FileCopy, SizeZeroDoesNoIo)
{
    vol.write("/d/src", "abc");
    Recorder rec(api);
    EXPECT_FALSE(copy(&rec, "/d/src", "/d/dst", 0));
    EXPECT_TRUE(rec.ios.empty());
    EXPECT_EQ(vol.read("/d/dst"), "");
}

TEST_F(FileCopy, ShortReadsAndShortWritesContinueWhereTheyStopped)
{
    const std::string data = pattern(70000, 7);
    vol.write("/d/src", data);
    FaultFs shortreads(api);
    shortreads.set_short_reads(1000);
    EXPECT_FALSE(copy(&shortreads, "/d/src", "/d/dst", data.size()));
    EXPECT_EQ(vol.read("/d/dst"), data);

    Recorder shortwrites(api);
    shortwrites.max_write = 5000;
    EXPECT_FALSE(copy(&shortwrites, "/d/src", "/d/dst2", data.size()));
    EXPECT_EQ(vol.read("/d/dst2"), data);
}

TEST_F(FileCopy, SourceThatShrankIsNotPaddedWithStaleBytes)
{
    const std::string data = pattern(70000, 3);
    vol.write("/d/src", data);
    vol.write("/d/dst", "");
    znfs::znfs_file_ptr s = open("/d/src", 0);
    znfs::znfs_file_ptr d = open("/d/dst", 1);
    ASSERT_EQ(::truncate(vol.host("/d/src").c_str(), 40000), 0);
    LogCapture log;
    error_code ec = file_copy(api, s, 0, d, 0, s->get_file_size(), logger);
    EXPECT_EQ(ec, error_code(ENODATA, std::generic_category()));
    EXPECT_EQ(vol.read("/d/dst"), data.substr(0, 40000));
    EXPECT_TRUE(log.contains("Failed to read data from offset [40000] error [" + std::to_string(ENODATA) + "]"))
        << log.dump();
}

TEST_F(FileCopy, FailedReadAndWriteStopTheCopy)
{
    const std::string data = pattern(70000, 5);
    vol.write("/d/src", data);
    LogCapture log;
    FaultFs faulty(api);
    faulty.fail_op("read", EIO, "", 2);
    EXPECT_EQ(copy(&faulty, "/d/src", "/d/dst", data.size()), error_code(EIO, std::generic_category()));
    EXPECT_EQ(vol.read("/d/dst"), data.substr(0, 32768));
    EXPECT_TRUE(log.contains("Failed to read data from offset [32768] error [5]")) << log.dump();

    faulty.reset();
    faulty.fail_op("write", ENOSPC, "", 3);
    EXPECT_EQ(copy(&faulty, "/d/src", "/d/dst", data.size()), error_code(ENOSPC, std::generic_category()));
    EXPECT_TRUE(log.contains("Failed to write data to offset [65536] error [28]")) << log.dump();
}

TEST_F(FileCopy, NoBufferMeansEnomemAndNothingWritten)
{
    vol.write("/d/src", "abc\ndef\n");
    vol.write("/d/dst", "12345");
    LogCapture log;
    FaultFs faulty(api);
    faulty.set_no_allocator(true);
    const error_code enomem(ENOMEM, std::generic_category());

    EXPECT_EQ(copy(&faulty, "/d/src", "/d/out", 8), enomem);
    EXPECT_EQ(split(&faulty, "abc\ndef\n", 2), enomem);
    znfs::znfs_file_ptr d = open("/d/dst", 1);
    EXPECT_EQ(fileappend(&faulty, vol.iopx(), "/d/src", d, 5, logger), enomem);
    api->close(d, k_sync);
    EXPECT_EQ(faulty.calls("write"), 0u);
    EXPECT_EQ(vol.read("/d/dst"), "12345");
    EXPECT_EQ(vol.list("/d"), (std::vector<std::string>{"dst", "list", "out", "src"}));
    EXPECT_EQ(log.count("Failed to allocate I/O buffer"), 3u) << log.dump();
}

TEST_F(FileCopy, SplitHundredBytesFourWays)
{
    std::string list;
    for (int i = 0; i < 10; ++i)
        list += "entry000" + std::to_string(i) + "\n";
    ASSERT_EQ(list.size(), 100u);
    LogCapture log;
    ASSERT_FALSE(split(api, list, 4));
    EXPECT_EQ(pieces(), (std::vector<std::string>{list.substr(0, 30), list.substr(30, 30), list.substr(60, 30),
                                                  list.substr(90)}));
    EXPECT_TRUE(log.contains("filetosplit=[/d/list] splitcount=[4] splitfileprefix=[/d/piece]")) << log.dump();
    EXPECT_TRUE(log.contains("Creating file [/d/piece4]")) << log.dump();
}

TEST_F(FileCopy, SplitSmallListsAndOddCounts)
{
    ASSERT_FALSE(split(api, "abcd\nefgh\n", 2));
    EXPECT_EQ(pieces(), std::vector<std::string>{"abcd\nefgh\n"});
    ASSERT_EQ(::unlink(vol.host("/d/piece1").c_str()), 0);

    ASSERT_FALSE(split(api, "abcd\nefgh\nij\n", 1));
    EXPECT_EQ(pieces(), std::vector<std::string>{"abcd\nefgh\nij\n"});
    ASSERT_EQ(::unlink(vol.host("/d/piece1").c_str()), 0);

    ASSERT_FALSE(split(api, "a\nb\nc\n", 8));
    EXPECT_EQ(pieces(), (std::vector<std::string>{"a\n", "b\n", "c\n"}));
    for (int n = 1; n <= 3; ++n)
        ASSERT_EQ(::unlink(vol.host("/d/piece" + std::to_string(n)).c_str()), 0);

    ASSERT_FALSE(split(api, "aaaa\nbbbb\ncc", 2));
    EXPECT_EQ(pieces(), (std::vector<std::string>{"aaaa\nbbbb\n", "cc"}));
}

TEST_F(FileCopy, SplitEmptyListMakesNoFiles)
{
    EXPECT_FALSE(split(api, "", 4));
    EXPECT_TRUE(pieces().empty());
}

TEST_F(FileCopy, SplitCountZeroIsInvalid)
{
    LogCapture log;
    FaultFs counting(api);
    EXPECT_EQ(split(&counting, "a\nb\n", 0), error_code(EINVAL, std::generic_category()));
    EXPECT_EQ(counting.calls(), 0u);
    EXPECT_TRUE(pieces().empty());
    EXPECT_EQ(log.count_level(-1), 1u) << log.dump();
}

TEST_F(FileCopy, SplitPieceThatCannotBeCreatedOrClosed)
{
    LogCapture log;
    FaultFs faulty(api);
    faulty.fail_op("open", EACCES, "piece2");
    EXPECT_EQ(split(&faulty, "a\nb\nc\n", 8), error_code(EACCES, std::generic_category()));
    EXPECT_EQ(pieces(), std::vector<std::string>{"a\n"});
    EXPECT_TRUE(log.contains("Failed to copy file [src: /d/list] to dest [/d/piece2] with error [13]"))
        << log.dump();
    EXPECT_EQ(faulty.calls("write"), 1u);

    // A close may be where a piece's write is told lost: that piece fails the split too.
    faulty.reset();
    faulty.fail_op("close", ENOSPC, "piece2");
    EXPECT_EQ(split(&faulty, "a\nb\nc\n", 8), error_code(ENOSPC, std::generic_category()));
    EXPECT_TRUE(log.contains("Failed to copy file [src: /d/list] to dest [/d/piece2] with error [28]"))
        << log.dump();
}

TEST_F(FileCopy, SplitCutSearchThatFailsWritesNothing)
{
    LogCapture log;
    FaultFs faulty(api);
    faulty.fail_op("read", EIO, "", 2);
    EXPECT_EQ(split(&faulty, "aaaa\nbbbb\ncccc\ndddd\n", 4), error_code(EIO, std::generic_category()));
    EXPECT_TRUE(pieces().empty());
    EXPECT_EQ(log.count_level(-1), 1u) << log.dump();
}

TEST_F(FileCopy, SplitMissingListFails)
{
    LogCapture log;
    EXPECT_EQ(filesplit(api, vol.iopx(), "/d/nolist", 2, "/d/piece", logger),
              error_code(ENOENT, std::generic_category()));
    EXPECT_TRUE(log.contains("Failed to open file [/d/nolist] error [2]")) << log.dump();
}

namespace {

// The entries a reader sees, empty ones skipped.
std::vector<std::string> reader_entries(const std::string& bytes)
{
    std::vector<std::string> out;
    std::string cur;
    for (char c : bytes) {
        if (c == '\n' || c == '\0') {
            if (!cur.empty())
                out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

std::string random_list(std::mt19937& gen)
{
    std::string list;
    int entries = static_cast<int>(gen() % 40);
    for (int i = 0; i < entries; ++i) {
        size_t len = gen() % 8 == 0 ? 129 + gen() % 300 : gen() % 12;
        for (size_t k = 0; k < len; ++k)
            list += gen() % 25 == 0 ? '\0' : static_cast<char>('a' + gen() % 26);
        list += '\n';
    }
    if (!list.empty() && gen() % 3 == 0)
        list.pop_back();
    return list;
}

}  // namespace

TEST_F(FileCopy, SplitPropertiesOverRandomLists)
{
    const unsigned seed = std::random_device()();
    std::cout << "seed " << seed << std::endl;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 gen(seed);
    for (int round = 0; round < 300; ++round) {
        std::string list = random_list(gen);
        uint32_t count = 1 + gen() % 70;
        SCOPED_TRACE("round " + std::to_string(round) + " count " + std::to_string(count));
        ASSERT_FALSE(split(api, list, count));
        std::vector<std::string> got = pieces();
        ASSERT_LE(got.size(), count);
        std::string joined;
        std::vector<std::string> seen;
        for (size_t i = 0; i < got.size(); ++i) {
            ASSERT_FALSE(got[i].empty());
            if (i + 1 < got.size()) {
                ASSERT_TRUE(got[i].back() == '\n' || got[i].back() == '\0') << "piece " << i + 1 << " cuts an entry";
            }
            joined += got[i];
            for (const std::string& e : reader_entries(got[i]))
                seen.push_back(e);
        }
        ASSERT_EQ(joined, list);
        ASSERT_EQ(seen, reader_entries(list));
        for (size_t n = 1; n <= got.size(); ++n)
            ASSERT_EQ(::unlink(vol.host("/d/piece" + std::to_string(n)).c_str()), 0);
    }
}

// The whole source goes at the offset, or the append fails with the errno of the call that
// failed and says so.
TEST_F(FileCopy, AppendAddsTheWholeSourceOrReportsWhatFailed)
{
    const struct {
        const char* src;   // null: no source file
        const char* fail;  // the call that fails with EIO, or null
        int err;
        const char* dst;
        const char* line;  // a line the log holds, or null
    } cases[] = {
        {"xyz", nullptr, 0, "12345xyz", nullptr},
        {nullptr, nullptr, ENOENT, "12345", "Failed to open file [/d/src] error [2]"},
        {"xyz", "write", EIO, "12345", "File copy failed from srcfile [/d/src] error [5]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line ? c.line : "whole source");
        ::unlink(vol.host("/d/src").c_str());
        if (c.src)
            vol.write("/d/src", c.src);
        vol.write("/d/dst", "12345");
        LogCapture log;
        FaultFs faulty(api);
        if (c.fail)
            faulty.fail_op(c.fail, EIO);
        znfs::znfs_file_ptr d = open("/d/dst", 1);
        EXPECT_EQ(fileappend(&faulty, vol.iopx(), "/d/src", d, d->get_file_size(), logger).value(), c.err);
        api->close(d, k_sync);
        EXPECT_EQ(vol.read("/d/dst"), c.dst);
        if (c.line) {
            EXPECT_TRUE(log.contains(c.line)) << log.dump();
        }
    }
}

TEST_F(FileCopy, AppendOfEmptySourceSucceedsWithoutWriting)
{
    vol.write("/d/src", "");
    vol.write("/d/dst", "12345");
    LogCapture log;
    FaultFs counting(api);
    znfs::znfs_file_ptr d = open("/d/dst", 1);
    errno = EBADF;  // a stale errno must not turn into a failure
    EXPECT_EQ(fileappend(&counting, vol.iopx(), "/d/src", d, 5, logger).value(), 0);
    api->close(d, k_sync);
    EXPECT_EQ(counting.calls("write"), 0u);
    EXPECT_EQ(vol.read("/d/dst"), "12345");
    EXPECT_EQ(log.count_level(-1), 0u) << log.dump();
    EXPECT_TRUE(log.contains("File size is 0 for srcfile [/d/src] error [")) << log.dump();
}
