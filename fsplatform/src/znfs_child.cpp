#include "znfs_child.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace znfs {
namespace detail {

namespace {

void close_fd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Owns the spawn settings so that every way out releases them.
struct spawn_setup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    bool have_actions = false;
    bool have_attr = false;

    ~spawn_setup()
    {
        if (have_actions)
            posix_spawn_file_actions_destroy(&actions);
        if (have_attr)
            posix_spawnattr_destroy(&attr);
    }

    int init(int out_fd, int err_fd, bool own_group)
    {
        int rc = posix_spawn_file_actions_init(&actions);
        if (rc != 0)
            return rc;
        have_actions = true;
        rc = posix_spawnattr_init(&attr);
        if (rc != 0)
            return rc;
        have_attr = true;
        // The pipe ends carry O_CLOEXEC; dup2 onto 1 and 2 clears it for the child's copies
        // only, so no other descriptor of this process leaks into the child.
        if ((rc = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0)) != 0 ||
            (rc = posix_spawn_file_actions_adddup2(&actions, out_fd, 1)) != 0 ||
            (rc = posix_spawn_file_actions_adddup2(&actions, err_fd, 2)) != 0)
            return rc;
        // A host that blocks or ignores signals must not hand that on to the command.
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD})
            sigaddset(&defaults, sig);
        short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
        if (own_group) {
            // Its own process group, so that a timeout also kills what the command started.
            flags |= POSIX_SPAWN_SETPGROUP;
            if ((rc = posix_spawnattr_setpgroup(&attr, 0)) != 0)
                return rc;
        }
        if ((rc = posix_spawnattr_setsigmask(&attr, &none)) != 0 ||
            (rc = posix_spawnattr_setsigdefault(&attr, &defaults)) != 0 ||
            (rc = posix_spawnattr_setflags(&attr, flags)) != 0)
            return rc;
        return 0;
    }
};

// Milliseconds left until deadline for poll, at least 1 while any time is left; 0 when none.
int poll_wait_ms(std::chrono::steady_clock::time_point deadline)
{
    auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero())
        return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

}  // namespace

int run_child(const std::vector<std::string>& argv, bool search_path, int timeout_seconds, bool merge_stderr,
              std::string* out, std::string* err, child_result& result)
{
    result = child_result();
    if (argv.empty())
        return EINVAL;

    int outp[2] = {-1, -1};
    int errp[2] = {-1, -1};
    if (pipe2(outp, O_CLOEXEC) != 0)
        return errno;
    if (!merge_stderr && pipe2(errp, O_CLOEXEC) != 0) {
        int e = errno;
        close_fd(outp[0]);
        close_fd(outp[1]);
        return e;
    }

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    const bool own_group = timeout_seconds > 0;
    pid_t pid = -1;
    int rc;
    {
        spawn_setup setup;
        rc = setup.init(outp[1], merge_stderr ? outp[1] : errp[1], own_group);
        if (rc == 0)
            rc = search_path ? posix_spawnp(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ)
                             : posix_spawn(&pid, args[0], &setup.actions, &setup.attr, args.data(), environ);
    }
    // Only the child may hold the write ends, or the reads below never see the end of data.
    close_fd(outp[1]);
    close_fd(errp[1]);
    if (rc != 0) {
        close_fd(outp[0]);
        close_fd(errp[0]);
        return rc;
    }

    struct stream {
        int fd;
        std::string* sink;
    };
    stream streams[2] = {{outp[0], out}, {errp[0], err}};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(own_group ? timeout_seconds : 0);
    int failure = 0;
    char buf[65536];
    for (;;) {
        pollfd pfds[2];
        stream* owners[2];
        nfds_t n = 0;
        for (stream& s : streams) {
            if (s.fd < 0)
                continue;
            pfds[n].fd = s.fd;
            pfds[n].events = POLLIN;
            pfds[n].revents = 0;
            owners[n++] = &s;
        }
        if (n == 0)
            break;
        int wait_ms = -1;
        if (own_group) {
            wait_ms = poll_wait_ms(deadline);
            if (wait_ms == 0) {
                result.timed_out = true;
                break;
            }
        }
        int ready = poll(pfds, n, wait_ms);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            failure = errno;
            break;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (pfds[i].revents == 0)
                continue;
            ssize_t got = read(pfds[i].fd, buf, sizeof buf);
            if (got > 0) {
                if (owners[i]->sink)
                    owners[i]->sink->append(buf, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close_fd(owners[i]->fd);
            }
        }
    }
    if (result.timed_out || failure != 0)
        kill(own_group ? -pid : pid, SIGKILL);
    close_fd(streams[0].fd);
    close_fd(streams[1].fd);

    int status = 0;
    bool reaped = false;
    if (own_group && !result.timed_out && failure == 0) {
        // The output can end long before the command does (it closed or redirected it): the
        // limit holds for the rest of its run too. It has mostly exited by now, so short naps
        // cost a finished command at most a millisecond.
        std::chrono::milliseconds nap(1);
        while (!reaped) {
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid) {
                reaped = true;
            } else if (r < 0 && errno != EINTR) {
                failure = errno;
                break;
            } else if (r == 0) {
                auto left = deadline - std::chrono::steady_clock::now();
                if (left <= std::chrono::steady_clock::duration::zero()) {
                    result.timed_out = true;
                    break;
                }
                std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(nap, left));
                nap = std::min(nap * 2, std::chrono::milliseconds(50));
            }
        }
        if (!reaped)
            kill(-pid, SIGKILL);
    }
    while (!reaped && waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return failure != 0 ? failure : errno;
    }
    result.wait_status = status;
    return failure;
}

}  // namespace detail
}  // namespace znfs
