#include <znfssnapcore/znfssnapcore.h>
#include <znfs/znfs_thpool.h>

#include "testvol.h"

#include <gtest/gtest.h>

#include <type_traits>

using znfssnapcore::znfssnapcore_opinfo;
using testvol::LogCapture;
using testvol::TempVolume;
using testvol::WithoutPool;
namespace {

const std::error_code k_einval(EINVAL, std::generic_category());

// A creation record over a small live tree, its outputs holding leftovers of an earlier call.
struct Creation {
    TempVolume v;
    znfssnapcore_opinfo r;
    Creation()
    {
        v.mkdir("/live/d");
        v.write("/live/d/f", "data");
        v.mkdir("/snap");
        r.snapfsapi = v.api();
        r.snapiopx = v.iopx();
        r.datasetdir = "/live";
        r.snapdir = "/snap";
        r.prevsnap_dellist = "/old/.delete/deletefilelist_prevsnap";
        r.opstatus = 0;
    }
};

TEST(Frame, NullRecordIsInvalidForBothEntryPoints)
{
    LogCapture log(-1);
    EXPECT_EQ(k_einval, znfssnapcore::snap_opcreate(nullptr));
    EXPECT_EQ(k_einval, znfssnapcore::snap_opdelete(nullptr));
    EXPECT_EQ(2u, log.count("Invalid operation record: [opinfo] is missing"));
}

static_assert(std::is_base_of<znfssnapcore::znfssnapframe, znfssnapcore::znfssnapcreate::znfssnapcreate>::value &&
                  std::is_base_of<znfssnapcore::znfssnapframe, znfssnapcore::znfssnapdelete::znfssnapdelete>::value,
              "both operations hold their shared members in one frame");
static_assert(!std::is_copy_constructible<znfssnapcore::znfssnapcreate::znfssnapcreate>::value &&
                  !std::is_copy_assignable<znfssnapcore::znfssnapdelete::znfssnapdelete>::value,
              "an operation owns its pool: never copied or assigned");

TEST(Frame, ConstructionResetsOutputsAndStartsThePool)
{
    znfssnapcore_opinfo r;
    r.prevsnap_dellist = "/stale";
    r.opstatus = 0;
    {
        znfssnapcore::znfssnapcreate::znfssnapcreate op(&r);
        EXPECT_EQ(-1, r.opstatus);
        EXPECT_EQ("", r.prevsnap_dellist);
        EXPECT_TRUE(op.m_thpool_enabled);
        EXPECT_EQ(nullptr, op.m_znfsapi);
        EXPECT_EQ(&r, op.m_opinfo);
    }
    r.prevsnap_dellist = "/stale";
    r.opstatus = 0;
    znfssnapcore::znfssnapdelete::znfssnapdelete op(&r);
    EXPECT_EQ(-1, r.opstatus);
    EXPECT_EQ("", r.prevsnap_dellist);
    EXPECT_TRUE(op.m_thpool_enabled);
}

TEST(Frame, CreationRefusesARecordWithoutItsInputs)
{
    for (const char* field : {"snapfsapi", "snapiopx", "snapdir", "datasetdir"}) {
        SCOPED_TRACE(field);
        Creation c;
        std::string f = field;
        if (f == "snapfsapi")
            c.r.snapfsapi = nullptr;
        else if (f == "snapiopx")
            c.r.snapiopx.reset();
        else if (f == "snapdir")
            c.r.snapdir.clear();
        else
            c.r.datasetdir.clear();
        LogCapture log(-1);
        EXPECT_EQ(k_einval, znfssnapcore::snap_opcreate(&c.r));
        EXPECT_EQ(-1, c.r.opstatus);
        EXPECT_EQ("", c.r.prevsnap_dellist);
        EXPECT_TRUE(log.contains("Invalid operation record: [" + f + "] is missing")) << log.dump();
        EXPECT_TRUE(c.v.list("/snap").empty());
    }
}

TEST(Frame, CompleteCreationResetsAStaleHandOffPath)
{
    Creation c;
    EXPECT_EQ(0, znfssnapcore::snap_opcreate(&c.r).value());
    EXPECT_EQ(0, c.r.opstatus);
    EXPECT_EQ("", c.r.prevsnap_dellist);
    EXPECT_EQ("data", c.v.read("/snap/d/f"));
}

TEST(Frame, WithoutAPoolCreationRunsInlineToTheSameResult)
{
    Creation c;
    WithoutPool off;
    LogCapture log(-1);
    EXPECT_EQ(0, znfssnapcore::snap_opcreate(&c.r).value());
    EXPECT_EQ(0, c.r.opstatus);
    EXPECT_EQ("data", c.v.read("/snap/d/f"));
    EXPECT_EQ("", c.v.read("/snap/.delete/deletefilelist"));
    ASSERT_EQ(1u, log.count("Failed to allocate threadpool"));
    EXPECT_EQ("znfssnapcreate::znfssnapcreate", log.lines()[0].function);
}

}  // namespace
