// The scratch file an index writer keeps its work in when a listing is too large to hold it in
// memory: blocks and folder frames once made, and runs of posting lists, each appended and read
// back by where it begins. Small pieces wait to be written together.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorvale::catalogue {

class ScratchFile {
  public:
    // `fd`: a file open for reading and writing that nothing else uses (not closed here); pieces
    // smaller than `pendingBytes` wait to be written together.
    ScratchFile(int fd, std::size_t pendingBytes) : fd_(fd), pendingBytes_(pendingBytes) {}

    // Appends `bytes`; returns where they begin. Throws runtime::RuntimeError when the file cannot
    // be written.
    std::uint64_t Append(std::string_view bytes);
    // Writes what waits: everything appended can be read back from here on.
    void Flush();
    // `size` bytes at `at` into `out`. Throws runtime::RuntimeError when they cannot be read.
    void Read(std::uint64_t at, std::size_t size, std::string& out) const;
    // Where the next piece appended will begin.
    std::uint64_t End() const { return end_; }

  private:
    int fd_;
    std::size_t pendingBytes_;
    std::uint64_t end_ = 0;
    std::uint64_t written_ = 0;
    std::string pending_;
};

// One run of posting lists appended to a scratch file, read back a trigram at a time through a
// window of `window` bytes: each list there is u32 trigram, u32 length, its bytes, in the order of
// the trigrams.
class SpilledRun {
  public:
    SpilledRun(const ScratchFile& file, std::uint64_t at, std::uint64_t bytes, std::size_t window);
    bool AtEnd() const { return atEnd_; }
    std::uint32_t Trigram() const { return trigram_; }
    // Appends the current list to `out`, and moves on to the next.
    void Take(std::string& out);

  private:
    void Next();
    void Consume(std::size_t bytes, std::string* out);

    const ScratchFile* file_;
    std::uint64_t at_;    // of what is not yet in the window
    std::uint64_t left_;  // bytes not yet in the window
    std::size_t windowBytes_;
    std::string window_;
    std::string header_;  // of the current list
    std::size_t used_ = 0;
    bool atEnd_ = true;
    std::uint32_t trigram_ = 0;
    std::uint32_t length_ = 0;
};

}  // namespace quorvale::catalogue
