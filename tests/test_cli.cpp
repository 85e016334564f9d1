// The znfssnap command, run as a separate process on temporary volumes.

#include "testvol.h"

#include <znfs/znfs_gluster.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using testvol::TempVolume;

// ---- running the binary ----

struct run_result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(FILE* f)
{
    std::string s;
    rewind(f);
    char buf[8192];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    return s;
}

// Runs znfssnap with args; env entries ("NAME=value") are added to the environment.
run_result run_cli(const std::vector<std::string>& args, const std::vector<std::string>& env = {})
{
    run_result r;
    const std::string path = testvol::znfssnap_path();
    std::unique_ptr<FILE, int (*)(FILE*)> out(tmpfile(), fclose);
    std::unique_ptr<FILE, int (*)(FILE*)> err(tmpfile(), fclose);
    if (!out || !err)
        return r;
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fileno(out.get()), 1);
        dup2(fileno(err.get()), 2);
        for (const std::string& e : env)
            putenv(const_cast<char*>(e.c_str()));
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = slurp(out.get());
    r.err = slurp(err.get());
    return r;
}

std::string show(const run_result& r)
{
    return "exit " + std::to_string(r.status) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

// ---- a small JSON reader: enough to check that the output is one valid object ----

struct json_value {
    enum kind_t { null_v, bool_v, number_v, string_v, array_v, object_v } kind = null_v;
    std::string text;  // string value, or the number's literal, or "true"/"false"
    std::vector<json_value> items;
    std::map<std::string, json_value> fields;

    const json_value& operator[](const std::string& k) const
    {
        static const json_value none;
        auto it = fields.find(k);
        return it == fields.end() ? none : it->second;
    }
    long long num() const { return std::atoll(text.c_str()); }
    std::vector<std::string> strings() const
    {
        std::vector<std::string> v;
        for (const json_value& i : items)
            v.push_back(i.text);
        return v;
    }
};

class json_reader {
public:
    explicit json_reader(const std::string& s) : m_s(s) {}

    // The one object the text holds (trailing white space allowed); false when it is not valid JSON.
    bool document(json_value& v)
    {
        return value(v) && v.kind == json_value::object_v && (skip(), m_pos == m_s.size());
    }

private:
    void skip()
    {
        while (m_pos < m_s.size() && (m_s[m_pos] == ' ' || m_s[m_pos] == '\n' || m_s[m_pos] == '\t'))
            ++m_pos;
    }
    bool literal(const char* word)
    {
        std::string w(word);
        if (m_s.compare(m_pos, w.size(), w) != 0)
            return false;
        m_pos += w.size();
        return true;
    }
    bool string(std::string& out)
    {
        if (m_s[m_pos] != '"')
            return false;
        for (++m_pos; m_pos < m_s.size(); ++m_pos) {
            unsigned char c = static_cast<unsigned char>(m_s[m_pos]);
            if (c == '"') {
                ++m_pos;
                return true;
            }
            if (c < 0x20)
                return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (++m_pos >= m_s.size())
                return false;
            char e = m_s[m_pos];
            static const std::string simple = "\"\\/bfnrt";
            static const std::string meaning = "\"\\/\b\f\n\r\t";
            size_t k = simple.find(e);
            if (k != std::string::npos) {
                out += meaning[k];
            } else if (e == 'u' && m_pos + 4 < m_s.size()) {
                unsigned cp = static_cast<unsigned>(std::stoul(m_s.substr(m_pos + 1, 4), nullptr, 16));
                m_pos += 4;
                if (cp < 0x80) {
                    out += static_cast<char>(cp);
                } else if (cp < 0x800) {
                    out += static_cast<char>(0xC0 | (cp >> 6));
                    out += static_cast<char>(0x80 | (cp & 0x3F));
                } else {
                    out += static_cast<char>(0xE0 | (cp >> 12));
                    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                    out += static_cast<char>(0x80 | (cp & 0x3F));
                }
            } else {
                return false;
            }
        }
        return false;
    }
    bool value(json_value& v)
    {
        skip();
        if (m_pos >= m_s.size())
            return false;
        char c = m_s[m_pos];
        if (c == '{') {
            v.kind = json_value::object_v;
            ++m_pos;
            skip();
            if (m_s[m_pos] == '}')
                return ++m_pos, true;
            for (;;) {
                skip();
                std::string key;
                if (!string(key))
                    return false;
                skip();
                if (m_s[m_pos++] != ':' || !value(v.fields[key]))
                    return false;
                skip();
                if (m_s[m_pos] == ',') {
                    ++m_pos;
                    continue;
                }
                return m_s[m_pos++] == '}';
            }
        }
        if (c == '[') {
            v.kind = json_value::array_v;
            ++m_pos;
            skip();
            if (m_s[m_pos] == ']')
                return ++m_pos, true;
            for (;;) {
                v.items.emplace_back();
                if (!value(v.items.back()))
                    return false;
                skip();
                if (m_s[m_pos] == ',') {
                    ++m_pos;
                    continue;
                }
                return m_s[m_pos++] == ']';
            }
        }
        if (c == '"') {
            v.kind = json_value::string_v;
            return string(v.text);
        }
        if (literal("true") || literal("false")) {
            v.kind = json_value::bool_v;
            v.text = m_s[m_pos - 1] == 'e' && m_s[m_pos - 2] == 'u' ? "true" : "false";
            return true;
        }
        if (literal("null"))
            return true;
        size_t start = m_pos;
        while (m_pos < m_s.size() && std::string("-+.eE0123456789").find(m_s[m_pos]) != std::string::npos)
            ++m_pos;
        v.kind = json_value::number_v;
        v.text = m_s.substr(start, m_pos - start);
        return m_pos > start;
    }

    const std::string& m_s;
    size_t m_pos = 0;
};

json_value parse_json(const run_result& r)
{
    json_value v;
    json_reader reader(r.out);
    EXPECT_TRUE(reader.document(v)) << "not one JSON object:\n" << show(r);
    return v;
}

bool contains(const std::vector<std::string>& v, const std::string& s)
{
    for (const std::string& x : v)
        if (x.find(s) != std::string::npos)
            return true;
    return false;
}

// ---- fixtures ----

// A volume with a small dataset /live and its object volume; snapshots go to /sN.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, access(testvol::znfssnap_path().c_str(), X_OK)) << "znfssnap not built at " << testvol::znfssnap_path();
        vol.mkdir("/live/docs/old");
        vol.mkdir("/live/.snaps/hourly");
        vol.mkdir("/live/docs/.snaps");
        vol.write("/live/.snaps/hourly/stale", "never copied");
        vol.write("/live/docs/a.txt", "alpha\n", 0640);
        vol.write("/live/docs/old/b.bin", std::string(70000, 'b'), 0600);
        vol.write("/live/empty", "");
        vol.write("/live/tool", "#!/bin/sh\n", 0755);
        vol.write("/live/docs/old/.snaps", "only directories of this name are left out");
        vol.setxattr("/live/docs/a.txt", "user.note", "first");
        vol.setxattr("/live/docs/a.txt", "user.blank", "");
        vol.setxattr("/live/docs", "user.dirnote", "d");
        objects.mkdir("/objects");
    }

    // Makes snapdir and runs create on it; returns the run.
    run_result create(const std::string& snapdir, std::vector<std::string> extra = {})
    {
        vol.mkdir(snapdir);
        std::vector<std::string> args = {"create", "--volume", vol.root(), "--dataset", "/live", "--snapdir", snapdir};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_cli(args);
    }

    run_result verify(const std::string& snapdir, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"verify", "--volume", vol.root(), "--dataset", "/live", "--snapdir", snapdir};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_cli(args);
    }

    // A live file whose data object exists on the object volume.
    void object_file(const std::string& rel, const std::string& id)
    {
        vol.write("/live/" + rel, "data of " + rel);
        vol.setxattr("/live/" + rel, "trusted.vidoruvud.uuid", "/objects/" + id);
        objects.write("/objects/" + id, "object " + id);
    }

    void write_delete_list(const std::string& snapdir, const std::string& names)
    {
        vol.write(snapdir + "/.delete/deletefilelist", names, 0760);
    }

    TempVolume vol;
    TempVolume objects;
};

// ---- usage ----

TEST(CliUsage, UsageErrorsExitTwo)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"snapshot"},
        {"create"},
        {"create", "--volume", "/tmp", "--dataset", "/live"},
        {"create", "--volume", "/tmp", "--dataset", "/live", "--snapdir", "/s", "extra"},
        {"create", "--volume"},
        {"create", "--bogus", "x"},
        {"create", "--json=yes"},
        {"verify", "--volume", "/tmp", "--dataset", "/live", "--snapdir", "/s", "--log-level", "2"},
        {"verify", "--volume", "/tmp", "--dataset", "/live", "--snapdir", "/s", "--threads", "0"},
        {"verify", "--volume", "/tmp", "--dataset", "/live", "--snapdir", "/s", "--threads", "2x"},
        {"verify", "--volume", "/tmp", "--dataset", "/live", "--snapdir", "/s", "--threads", "2", "--inline"},
        {"delete", "--volume", "/tmp", "--snapdir", "/s"},
        {"rmtree", "--volume", "/tmp"},
        {"rmtree", "--volume", "/tmp", "/"},
        {"rmtree", "--volume", "/tmp", "//"},
        {"rmtree", "--volume", "/tmp", "/snap/.."},
        {"rmtree", "--volume", "/tmp", "./x"},
        {"volsnap"},
        {"volsnap", "rename", "a"},
        {"volsnap", "create", "vol1", "snap1"},
        {"volsnap", "create", "vol 1", "snap1", "desc"},
        {"volsnap", "delete", "a", "b"},
        {"demo", "--keep"},
    };
    for (const auto& args : cases) {
        run_result r = run_cli(args);
        std::string line;
        for (const std::string& a : args)
            line += "'" + a + "' ";
        EXPECT_EQ(2, r.status) << line << "\n" << show(r);
        EXPECT_FALSE(r.err.empty()) << line;
    }
}

TEST(CliUsage, HelpForEveryCommandExitsZero)
{
    for (const char* cmd : {"create", "verify", "delete", "rmtree", "volsnap", "demo"}) {
        run_result r = run_cli({cmd, "--help"});
        EXPECT_EQ(0, r.status) << cmd << "\n" << show(r);
        EXPECT_NE(std::string::npos, r.out.find(std::string("Usage: znfssnap ") + cmd)) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("--log-level")) << r.out;
    }
    run_result r = run_cli({"--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("Exit status"));
    EXPECT_NE(std::string::npos, run_cli({"delete", "--help"}).out.find("written as in a real run"));
    EXPECT_NE(std::string::npos, run_cli({"create", "--help"}).out.find("must exist"));
}

// ---- create and verify ----

TEST_F(CliTest, CreateAndVerifyMatch)
{
    for (const std::vector<std::string>& mode : {std::vector<std::string>{}, {"--inline"}, {"--threads", "1"}}) {
        const std::string snapdir = "/s" + std::to_string(mode.size());
        std::vector<std::string> extra = mode;
        extra.push_back("--json");
        run_result r = create(snapdir, extra);
        ASSERT_EQ(0, r.status) << show(r);
        json_value j = parse_json(r);
        EXPECT_EQ("create", j["operation"].text);
        EXPECT_EQ(0, j["opstatus"].num());
        EXPECT_EQ(0, j["error_value"].num());
        EXPECT_EQ(0, j["entries_failed"].num());
        EXPECT_EQ(7, j["entries_copied"].num()) << r.out;  // 2 directories, 5 files
        EXPECT_EQ("true", j["complete"].text);
        EXPECT_EQ(std::string::npos, r.err.find('\r')) << "progress shown without a terminal";
        EXPECT_FALSE(vol.exists(snapdir + "/.snaps"));
        EXPECT_FALSE(vol.exists(snapdir + "/docs/.snaps"));
        EXPECT_TRUE(vol.exists(snapdir + "/docs/old/.snaps"));
        EXPECT_TRUE(vol.exists(snapdir + "/.delete/deletefilelist"));

        r = verify(snapdir, {"--json"});
        EXPECT_EQ(0, r.status) << show(r);
        j = parse_json(r);
        EXPECT_EQ(0, j["difference_count"].num());
        EXPECT_TRUE(j["differences"].items.empty());
    }
}

TEST_F(CliTest, LinksAndSpecialFilesVerifyAsCreationCopiesThem)
{
    vol.symlink("docs/a.txt", "/live/link");
    ASSERT_EQ(0, mkfifo(vol.host("/live/fifo").c_str(), 0640));
    ASSERT_EQ(0, chmod(vol.host("/live/fifo").c_str(), 0640));
    run_result r = create("/s");
    ASSERT_EQ(0, r.status) << show(r);
    EXPECT_EQ("alpha\n", vol.read("/s/link"));
    r = verify("/s");
    EXPECT_EQ(0, r.status) << show(r);
}

TEST_F(CliTest, DanglingLinkMakesSnapshotIncomplete)
{
    vol.symlink("nowhere", "/live/dangling");
    run_result r = create("/s", {"--json"});
    EXPECT_EQ(3, r.status) << show(r);
    json_value j = parse_json(r);
    EXPECT_EQ(0, j["error_value"].num());
    EXPECT_EQ(-1, j["opstatus"].num());
    EXPECT_EQ(1, j["entries_failed"].num());
    EXPECT_EQ("false", j["complete"].text);
    EXPECT_NE(std::string::npos, r.err.find("dangling")) << r.err;

    r = verify("/s");
    EXPECT_EQ(4, r.status) << show(r);
    EXPECT_NE(std::string::npos, r.out.find("/dangling")) << r.out;
}

TEST_F(CliTest, CreateRefusesMissingDirectories)
{
    run_result r = run_cli({"create", "--volume", vol.root(), "--dataset", "/live", "--snapdir", "/absent"});
    EXPECT_EQ(1, r.status) << show(r);
    EXPECT_NE(std::string::npos, r.err.find("must exist")) << r.err;
    r = run_cli({"create", "--volume", vol.root() + "/nope", "--dataset", "/live", "--snapdir", "/s", "--json"});
    EXPECT_EQ(1, r.status) << show(r);
    EXPECT_EQ(2, parse_json(r)["error_value"].num());
}

TEST_F(CliTest, LogLevelControlsLibraryLines)
{
    run_result quiet = create("/s1");
    ASSERT_EQ(0, quiet.status) << show(quiet);
    EXPECT_EQ(std::string::npos, quiet.err.find("snap_opcreate")) << quiet.err;
    run_result chatty = create("/s2", {"--log-level", "1"});
    ASSERT_EQ(0, chatty.status) << show(chatty);
    EXPECT_NE(std::string::npos, chatty.err.find("Starting snap_opcreate")) << chatty.err;
}

TEST_F(CliTest, VerifyFindsEveryKindOfDifference)
{
    struct mutation {
        const char* name;
        std::function<void(const std::string& snap)> apply;
        const char* expect;  // a part of the difference line
    };
    const std::vector<mutation> cases = {
        {"changed byte", [&](const std::string& s) { vol.write(s + "/docs/a.txt", "alphA\n", 0640); },
         "/docs/a.txt: data differs"},
        {"shorter file", [&](const std::string& s) { vol.write(s + "/docs/old/b.bin", "b", 0600); },
         "/docs/old/b.bin: 70000 bytes in dataset, 1 in snapshot"},
        {"mode", [&](const std::string& s) { chmod(vol.host(s + "/tool").c_str(), 0700); },
         "/tool: mode 0755 in dataset, 0700 in snapshot"},
        {"xattr value", [&](const std::string& s) { vol.setxattr(s + "/docs/a.txt", "user.note", "second"); },
         "/docs/a.txt: extended attribute user.note differs"},
        {"xattr gone",
         [&](const std::string& s) { lremovexattr(vol.host(s + "/docs").c_str(), "user.dirnote"); },
         "/docs: extended attribute user.dirnote missing in snapshot"},
        {"xattr extra", [&](const std::string& s) { vol.setxattr(s + "/empty", "user.extra", "x"); },
         "/empty: extended attribute user.extra not in dataset"},
        {"missing file", [&](const std::string& s) { unlink(vol.host(s + "/empty").c_str()); },
         "/empty: missing in snapshot"},
        {"extra file", [&](const std::string& s) { vol.write(s + "/docs/old/new", "n"); },
         "/docs/old/new: not in dataset"},
        {"kind", [&](const std::string& s) {
             unlink(vol.host(s + "/tool").c_str());
             vol.mkdir(s + "/tool");
         },
         "/tool: a file in dataset, a directory in snapshot"},
        {"copied .snaps", [&](const std::string& s) { vol.mkdir(s + "/.snaps"); }, "/.snaps: not in dataset"},
    };
    int n = 0;
    for (const mutation& m : cases) {
        const std::string snap = "/m" + std::to_string(n++);
        ASSERT_EQ(0, create(snap).status) << m.name;
        m.apply(snap);
        run_result r = verify(snap, {"--json"});
        EXPECT_EQ(4, r.status) << m.name << "\n" << show(r);
        json_value j = parse_json(r);
        EXPECT_EQ(1, j["difference_count"].num()) << m.name << "\n" << r.out;
        EXPECT_TRUE(contains(j["differences"].strings(), m.expect)) << m.name << "\n" << r.out;
    }
    // A changed dataset is a difference as well; the bookkeeping directory is not.
    ASSERT_EQ(0, create("/last").status);
    vol.write("/last/.delete/deletefilelist", "docs/a.txt\n");
    EXPECT_EQ(0, verify("/last").status);
    vol.write("/live/docs/a.txt", "changed\n", 0640);
    EXPECT_EQ(4, verify("/last").status);
}

TEST_F(CliTest, VerifyFailsOnUnreadableRoot)
{
    run_result r = verify("/absent", {"--json"});
    EXPECT_EQ(1, r.status) << show(r);
    EXPECT_EQ(2, parse_json(r)["error_value"].num());
}

// ---- delete ----

TEST_F(CliTest, DeleteDryRunListsObjectsAndUnlinksNone)
{
    object_file("kept", "o-kept");
    object_file("changed", "o-old");
    object_file("docs/gone", "o-gone");
    ASSERT_EQ(0, create("/s1").status);
    object_file("changed", "o-new");
    object_file("fresh", "o-fresh");
    ASSERT_EQ(0, create("/s2").status);
    write_delete_list("/s2", "kept\nchanged\nfresh\nnot-there\n");

    const std::vector<std::string> base = {"delete", "--volume", vol.root(), "--object-volume", objects.root(),
                                           "--snapdir", "/s2", "--prevsnap", "/s1", "--json"};
    for (const char* mode : {"--threads=3", "--inline"}) {
        std::vector<std::string> args = base;
        args.push_back("--dry-run");
        args.push_back(mode);
        run_result r = run_cli(args);
        ASSERT_EQ(0, r.status) << show(r);
        json_value j = parse_json(r);
        EXPECT_EQ("true", j["dry_run"].text);
        EXPECT_EQ(0, j["opstatus"].num());
        EXPECT_EQ(2, j["dry_run_object_count"].num());
        EXPECT_EQ((std::vector<std::string>{"/objects/o-fresh", "/objects/o-new"}), j["dry_run_objects"].strings());
        EXPECT_EQ(1, j["names_handed_on"].num());
        EXPECT_EQ(std::string::npos, r.err.find("threadpool")) << mode << ": " << r.err;
        for (const char* o : {"o-kept", "o-old", "o-gone", "o-new", "o-fresh"})
            EXPECT_TRUE(objects.exists(std::string("/objects/") + o)) << o;
        EXPECT_EQ("kept\n", vol.read("/s2/.delete/deletefilelist_prevsnap"));
    }

    run_result r = run_cli(base);
    ASSERT_EQ(0, r.status) << show(r);
    json_value j = parse_json(r);
    EXPECT_EQ("/s2/.delete/deletefilelist_prevsnap", j["prevsnap_dellist"].text);
    EXPECT_EQ(2, j["objects_unlinked"].num());
    EXPECT_EQ(1, j["names_handed_on"].num());
    EXPECT_FALSE(objects.exists("/objects/o-new"));
    EXPECT_FALSE(objects.exists("/objects/o-fresh"));
    for (const char* o : {"o-kept", "o-old", "o-gone"})
        EXPECT_TRUE(objects.exists(std::string("/objects/") + o)) << o;
}

TEST_F(CliTest, DeleteWithoutDeleteListFails)
{
    vol.mkdir("/bare");
    run_result r = run_cli({"delete", "--volume", vol.root(), "--object-volume", objects.root(), "--snapdir",
                            "/bare", "--json"});
    EXPECT_EQ(1, r.status) << show(r);
    json_value j = parse_json(r);
    EXPECT_NE(0, j["error_value"].num());
    EXPECT_EQ(-1, j["opstatus"].num());
    EXPECT_EQ("", j["prevsnap_dellist"].text);
}

// ---- rmtree, volsnap ----

TEST_F(CliTest, RmtreeRemovesWholeTree)
{
    ASSERT_EQ(0, create("/s").status);
    vol.symlink("/live", "/s/docs/link-out");
    run_result r = run_cli({"rmtree", "--volume", vol.root(), "/s"});
    EXPECT_EQ(0, r.status) << show(r);
    EXPECT_FALSE(vol.exists("/s"));
    EXPECT_EQ("alpha\n", vol.read("/live/docs/a.txt"));
    r = run_cli({"rmtree", "--volume", vol.root(), "/s"});
    EXPECT_EQ(1, r.status) << show(r);
}

TEST(CliVolsnap, RunsGlusterWithItsArguments)
{
    TempVolume bin;
    const std::string log = bin.host("/args");
    bin.write("/gluster", "#!/bin/sh\necho \"$@\" >> " + log + "\n[ \"$FAKE_GLUSTER_FAIL\" = 1 ] && exit 1\nexit 0\n",
              0755);
    const std::vector<std::string> env = {"PATH=" + bin.root() + ":/usr/bin:/bin"};
    run_result r = run_cli({"volsnap", "create", "vol1", "snap1", "nightly", "backup"}, env);
    EXPECT_EQ(0, r.status) << show(r);
    r = run_cli({"volsnap", "delete", "snap1", "--json"}, env);
    EXPECT_EQ(0, r.status) << show(r);
    EXPECT_EQ("volsnap delete", parse_json(r)["operation"].text);
    EXPECT_EQ("snapshot create snap1 vol1 no-timestamp description nightly backup\n"
              "--mode=script snapshot delete snap1\n",
              bin.read("/args"));

    std::vector<std::string> failing = env;
    failing.push_back("FAKE_GLUSTER_FAIL=1");
    r = run_cli({"volsnap", "delete", "snap1"}, failing);
    EXPECT_EQ(1, r.status) << show(r);
}

// ---- output ----

TEST_F(CliTest, JsonEscapesControlAndNonUtf8Bytes)
{
    const std::string odd = std::string("/s\x01\"\\\t\xff\xc3\xa9", 9);
    run_result r = create(odd, {"--json"});
    ASSERT_EQ(0, r.status) << show(r);
    EXPECT_NE(std::string::npos, r.out.find("\\u0001")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\\u00ff")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\xc3\xa9")) << "valid UTF-8 kept as it is";
    json_value j = parse_json(r);
    EXPECT_EQ(std::string("/s\x01\"\\\t\xc3\xbf\xc3\xa9", 10), j["snapdir"].text);
}

TEST_F(CliTest, DifferenceLinesShowOddNamesEscaped)
{
    vol.write("/live/two\nlines", "x");
    ASSERT_EQ(0, create("/s").status);
    vol.write("/s/two\nlines", "y");
    run_result r = verify("/s");
    EXPECT_EQ(4, r.status) << show(r);
    EXPECT_NE(std::string::npos, r.out.find("/two\\x0alines: data differs\n")) << r.out;
}

TEST(CliDemo, DemoPassesAndCleansUp)
{
    TempVolume keep;
    run_result r = run_cli({"demo", "--keep", keep.root() + "/kept"});
    ASSERT_EQ(0, r.status) << show(r);
    EXPECT_NE(std::string::npos, r.out.find("checks held")) << r.out;
    EXPECT_TRUE(keep.exists("/kept/volume/snaps1/.delete/deletefilelist"));

    r = run_cli({"demo", "--keep", keep.root() + "/kept"});
    EXPECT_EQ(1, r.status) << "a non-empty --keep directory is refused\n" << show(r);

    r = run_cli({"demo", "--json"}, {"TMPDIR=" + keep.root()});
    ASSERT_EQ(0, r.status) << show(r);
    EXPECT_EQ("true", parse_json(r)["passed"].text);
    EXPECT_EQ((std::vector<std::string>{"kept"}), keep.list("/"));
}

}  // namespace

// ---- GlusterFS volumes named by URL (run when ZNFS_GLUSTER_HOST names a server) ----

class CliGluster : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* host = getenv("ZNFS_GLUSTER_HOST");
        if (!host || !*host)
            GTEST_SKIP() << "ZNFS_GLUSTER_HOST is not set: no GlusterFS server to run against";
        live_url = std::string("gluster://") + host + "/" + testvol::env_or("ZNFS_GLUSTER_LIVE", "znfs_live");
        obj_url = std::string("gluster://") + host + "/" + testvol::env_or("ZNFS_GLUSTER_OBJ", "znfs_obj");
        std::error_code ec;
        live = znfs::make_gluster_volume(host, znfs::gluster_default_port, testvol::env_or("ZNFS_GLUSTER_LIVE", "znfs_live"), ec);
        obj = znfs::make_gluster_volume(host, znfs::gluster_default_port, testvol::env_or("ZNFS_GLUSTER_OBJ", "znfs_obj"), ec);
        if (!live || !obj)
            GTEST_SKIP() << "cannot reach the GlusterFS volumes: " << ec.message();
        top = "/cli" + std::to_string(getpid());
        ASSERT_FALSE(api->mkdir(live, top.c_str(), 0755, none));
        ASSERT_FALSE(api->mkdir(obj, top.c_str(), 0755, none));
    }

    void put(znfs::znfs_iopx_ptr v, const std::string& path, const std::string& data, const std::string& uuid = "")
    {
        znfs::znfs_file_ptr f = api->creat(v, path.c_str(), 0x201, 0640, none);
        ASSERT_TRUE(f) << path;
        znfs::znfs_buff_ptr b = api->alloc_io_buffer(data.size());
        memcpy(b->get_base(), data.data(), data.size());
        ASSERT_EQ(int64_t(data.size()), api->write(f, b, data.size(), 0, 0, none));
        api->close(f, none);
        if (!uuid.empty()) {
            struct iovec iov = {const_cast<char*>(uuid.data()), uuid.size()};
            ASSERT_FALSE(api->setxattr(v, path.c_str(), "trusted.vidoruvud.uuid", &iov, 0, none));
        }
    }

    bool exists(znfs::znfs_iopx_ptr v, const std::string& path)
    {
        struct stat st;
        return !api->stat(v, path.c_str(), &st, none);
    }

    znfs::znfs_api* api = znfs::gluster_api();
    znfs::znfs_aio_ptr none;
    znfs::znfs_iopx_ptr live, obj;
    std::string live_url, obj_url, top;
};

TEST_F(CliGluster, CreateVerifyAndDeleteOnGlusterVolumes)
{
    ASSERT_FALSE(api->mkdir(live, (top + "/live").c_str(), 0755, none));
    ASSERT_FALSE(api->mkdir(live, (top + "/live/d").c_str(), 0750, none));
    put(obj, top + "/shared", "s");
    put(obj, top + "/own", "o");
    put(live, top + "/live/kept", "kept data", top + "/shared");
    put(live, top + "/live/d/gone", "gone data", top + "/own");
    for (const char* s : {"/s1", "/s2"}) {
        ASSERT_FALSE(api->mkdir(live, (top + s).c_str(), 0755, none));
        run_result r = run_cli({"create", "--volume", live_url, "--dataset", top + "/live", "--snapdir", top + s});
        ASSERT_EQ(0, r.status) << show(r);
        r = run_cli({"verify", "--volume", live_url, "--dataset", top + "/live", "--snapdir", top + s});
        ASSERT_EQ(0, r.status) << show(r);
    }
    // In the second snapshot d/gone has an object of its own; kept shares its object with s1.
    put(live, top + "/s1/d/gone", "gone data", top + "/older");
    put(live, top + "/s2/.delete/deletefilelist", "kept\nd/gone\n");

    run_result r = run_cli({"delete", "--volume", live_url, "--object-volume", obj_url, "--snapdir", top + "/s2",
                            "--prevsnap", top + "/s1", "--json"});
    ASSERT_EQ(0, r.status) << show(r);
    json_value j = parse_json(r);
    EXPECT_EQ(0, j["opstatus"].num());
    EXPECT_EQ(1, j["objects_unlinked"].num());
    EXPECT_EQ(1, j["names_handed_on"].num());
    EXPECT_TRUE(exists(obj, top + "/shared"));
    EXPECT_FALSE(exists(obj, top + "/own"));
}
