// Every value that tunes how folders are read, in one place, so that a test can replace them: how
// many reader threads, how far the walk reads ahead (in folders, bytes and handles), when a read
// counts as slow, how much nicer the readers run, how often a waiting walk catches up, and which
// of the walk's choices is forced.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>

#include "reading/earlier_reading.h"

namespace quorvale::reading {

struct ReadTuning {
    // Reader threads: on a disk most of them wait for it, so more than the cores.
    std::size_t threadsPerCore = 8;
    std::size_t minThreads = 32;
    std::size_t maxThreads = 64;
    // Folders requested or read ahead of the walk and not yet taken by it, at most: many while
    // reads come from a disk (they wait for it together), fewer while they come from the page
    // cache (reading far ahead then only takes turns on the processors with the walk).
    std::size_t foldersAhead = 512;
    std::size_t foldersAheadFromCache = 128;
    // Bytes of names and entries held ahead at most. Each request is charged its share (see
    // BytesPerFolder) when it is made; a folder larger than that is opened but left for the walk
    // to read when it gets there.
    std::size_t bytesAhead = std::size_t{32} << 20;
    // Reads slower than this (a moving average) come from a disk: a folder nobody has requested
    // yet is then handed to a reader (ahead of all others) rather than read by the walk itself.
    std::chrono::microseconds slowRead{500};
    // ... and than this much more per entry the folder holds (reading and sorting a large folder
    // from the page cache takes a few tenths of a microsecond per entry).
    std::chrono::nanoseconds slowReadPerEntry{1000};
    // How much nicer than the walk the readers run, so that the window keeps its processor.
    int readerNiceness = 5;
    // How often a walk that waits for a reader lets its caller catch up.
    std::chrono::milliseconds waitSlice{10};
    // Folders with more entries are sorted by a reader while the walk keeps catching up.
    std::size_t largeFolder = 20000;
    // Each folder opened (by a reader or the walk) waits this long first: a slow medium, for
    // tests and the bench.
    std::chrono::microseconds openDelay{0};

    // Whether every read gathers each entry's details (a listing with details) too.
    bool entryDetails = false;
    // Where the entries of folders that have not changed since an earlier listing are taken
    // from, rather than read (none: every folder is read).
    const EarlierReading* earlierReading = nullptr;

    // Who reads a folder the walk needs and nobody has requested yet.
    enum class Handover {
        kByReadTime,  // a reader while reads are slow, the walk itself while they are fast
        kAlwaysWalk,
        kAlwaysReader,
    };
    Handover handover = Handover::kByReadTime;

    // The reader threads for this machine.
    std::size_t Threads() const;
    // What each request is charged and may read ahead, in bytes: the byte budget shared among the
    // fewer folders ahead. From a disk more folders than that are ahead, as a folder read is
    // charged only what it holds, mostly far less.
    std::size_t BytesPerFolder() const {
        const std::size_t folders = std::min(foldersAhead, foldersAheadFromCache);
        return folders == 0 ? 0 : bytesAhead / folders;
    }
};

}  // namespace quorvale::reading
