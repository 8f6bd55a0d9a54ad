// The harness itself: a crash names the test it happened in.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "harness.hpp"

TEST(harness, a_crash_names_the_running_test) {
    for (int sig : {SIGSEGV, SIGABRT}) {
        // Made before the fork: the child may only write and raise.
        const std::string name = "suite.crashing_test";
        int fds[2];
        ASSERT_TRUE(::pipe(fds) == 0);
        const pid_t child = ::fork();
        ASSERT_TRUE(child >= 0);
        if (child == 0) {
            ::dup2(fds[1], 2);
            const rlimit no_core{0, 0};
            ::setrlimit(RLIMIT_CORE, &no_core);
            harness::set_running(name);
            ::raise(sig);
            ::_exit(0);
        }
        ::close(fds[1]);
        std::string err;
        char buf[256];
        for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) err.append(buf, std::size_t(n));
        ::close(fds[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        // The signal then does what it did before: it ends the process, or a
        // sanitizer reports it and exits with a failure.
        const bool signalled = WIFSIGNALED(status) && WTERMSIG(status) == sig;
        EXPECT_TRUE(signalled || (WIFEXITED(status) && WEXITSTATUS(status) != 0));
        EXPECT_TRUE(err.find("CRASHED in suite.crashing_test") != std::string::npos);
    }
}
