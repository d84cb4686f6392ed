#include "app/compare_command.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

#include "app/signal_catcher.h"
#include "app/standard_streams.h"
#include "catalogue/listing_compare.h"
#include "runtime/runtime_error.h"

namespace quorvale::app {

namespace {

constexpr std::size_t kOutputBlock = 1 << 16;

// Thrown through the comparison when a signal asks it to stop.
struct Stopped {
    int signal;
};

// The differences of one comparison, held in an anonymous file until both listings were read
// whole and unchanged: stdout never gets a mix of two listings, and memory holds one block.
class HeldOutput {
  public:
    HeldOutput() : fd_(::memfd_create("quorvale-compare", MFD_CLOEXEC)) {
        if (fd_ < 0) throw runtime::ErrorFromErrno(errno, "Cannot hold the differences", "memfd");
    }
    ~HeldOutput() { ::close(fd_); }
    HeldOutput(const HeldOutput&) = delete;
    HeldOutput& operator=(const HeldOutput&) = delete;

    void Line(std::string_view line) {
        pending_.append(line);
        pending_ += '\n';
        if (pending_.size() >= kOutputBlock) Flush();
    }
    void Flush() {
        if (const int err = WriteAll(fd_, pending_); err != 0) {
            throw runtime::ErrorFromErrno(err, "Cannot hold the differences", "memfd");
        }
        pending_.clear();
    }
    // Forgets what was held, for a comparison read again.
    void Clear() {
        pending_.clear();
        if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) {
            throw runtime::ErrorFromErrno(errno, "Cannot hold the differences", "memfd");
        }
    }
    // Writes everything held to stdout; 0, or WriteOutput's status.
    int Print() {
        Flush();
        if (::lseek(fd_, 0, SEEK_SET) != 0) return kCompareFailed;
        std::string block(kOutputBlock, '\0');
        for (;;) {
            const ssize_t n = ::read(fd_, block.data(), block.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return n == 0 ? 0 : kCompareFailed;
            if (const int status = WriteOutput(std::string_view(block.data(), n)); status != 0) {
                return status;
            }
        }
    }

  private:
    int fd_;
    std::string pending_;
};

bool Compare(const std::string& oldFolder, const std::string& newFolder, HeldOutput& output) {
    return catalogue::CompareListings(
        oldFolder, newFolder, [&output](std::string_view line) { output.Line(line); },
        [] {
            if (const int signal = TerminationSignal(); signal != 0) throw Stopped{signal};
        });
}

// Compares, and once more when a Save replaced a listing while it was read.
bool CompareWhole(const std::string& oldFolder, const std::string& newFolder, HeldOutput& output) {
    try {
        return Compare(oldFolder, newFolder, output);
    } catch (const catalogue::ListingChanged&) {
        output.Clear();
        return Compare(oldFolder, newFolder, output);
    }
}

}  // namespace

int RunCompare(const std::string& oldFolder, const std::string& newFolder) {
    try {
        HeldOutput output;
        const bool differ = CompareWhole(oldFolder, newFolder, output);
        if (const int status = output.Print(); status != 0) return status;
        return differ ? kListingsDiffer : kListingsEqual;
    } catch (const Stopped& stopped) {
        WriteError("quorvale: stopped by signal " + std::to_string(stopped.signal) + "\n");
        return 128 + stopped.signal;
    } catch (const runtime::RuntimeError& error) {
        WriteError("quorvale: " + std::string(error.what()) + "\n");
        return kCompareFailed;
    }
}

}  // namespace quorvale::app
