// Runs every registered test; a name filter may be given as the first argument.
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

}  // namespace harness

int main(int argc, char** argv) {
    std::string filter = argc > 1 ? argv[1] : "";
    int failed = 0, ran = 0;
    for (auto& c : harness::registry()) {
        std::string full = std::string(c.suite) + "." + c.name;
        if (!filter.empty() && full.find(filter) == std::string::npos) continue;
        ++ran;
        harness::failures_in_case = 0;
        try {
            c.body();
        } catch (const harness::Abort&) {
        } catch (const std::exception& e) {
            harness::fail(__FILE__, __LINE__, std::string("uncaught exception: ") + e.what());
        }
        if (harness::failures_in_case) {
            ++failed;
            std::cerr << "FAILED " << full << "\n";
        }
    }
    std::cout << ran - failed << "/" << ran << " C++ tests passed\n";
    return failed ? 1 : 0;
}
