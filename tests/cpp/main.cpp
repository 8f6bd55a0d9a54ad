// Runs every registered test; a name filter may be given as the first argument.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>

#include "harness.hpp"

namespace harness {

std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

static int failures_in_case = 0;

void fail(const char* file, int line, const std::string& what) {
    ++failures_in_case;
    std::cerr << "  " << file << ":" << line << ": " << what << "\n";
}

namespace {

// The running test's name, kept where a signal handler may read it.
char running[256];
std::size_t running_length = 0;

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
// What each signal did before (a sanitizer's report, or the default end).
struct sigaction previous[std::size(kCrashSignals)];

extern "C" void report_crash(int sig) {
    static const char head[] = "\nCRASHED in ";
    // Nothing to do about a short write: the process is going down.
    if (::write(2, head, sizeof head - 1) < 0 || ::write(2, running, running_length) < 0 || ::write(2, "\n", 1) < 0) {
    }
    // Then the signal does what it did before, as if this handler were not there.
    for (std::size_t k = 0; k < std::size(kCrashSignals); ++k)
        if (kCrashSignals[k] == sig) sigaction(sig, &previous[k], nullptr);
    ::raise(sig);
}

}  // namespace

void set_running(const std::string& name) {
    running_length = std::min(name.size(), sizeof running);
    std::memcpy(running, name.data(), running_length);
}

void report_crashes() {
    struct sigaction action {};
    action.sa_handler = report_crash;
    sigemptyset(&action.sa_mask);
    for (std::size_t k = 0; k < std::size(kCrashSignals); ++k) sigaction(kCrashSignals[k], &action, &previous[k]);
}

}  // namespace harness

int main(int argc, char** argv) {
    std::string filter = argc > 1 ? argv[1] : "";
    harness::report_crashes();
    int failed = 0, ran = 0;
    for (auto& c : harness::registry()) {
        std::string full = std::string(c.suite) + "." + c.name;
        if (!filter.empty() && full.find(filter) == std::string::npos) continue;
        ++ran;
        harness::failures_in_case = 0;
        harness::set_running(full);
        try {
            c.body();
        } catch (const harness::Abort&) {
        } catch (const std::exception& e) {
            harness::fail(__FILE__, __LINE__, std::string("uncaught exception: ") + e.what());
        } catch (...) {
            harness::fail(__FILE__, __LINE__, "uncaught exception of no standard type");
        }
        if (harness::failures_in_case) {
            ++failed;
            std::cerr << "FAILED " << full << "\n";
        }
    }
    std::cout << ran - failed << "/" << ran << " C++ tests passed\n";
    return failed ? 1 : 0;
}
