#pragma once

#include "ListFixtures.h"

#include <cstdint>
#include <string>
#include <vector>

// A complete file of pseudo-random bytes and a copy of it with holes: the
// bytes of each missing range [begin, end) are zeros in the copy. The ranges
// are listed as a segment file lists them: begin and end offsets, the end
// byte requested too, End - Begin counted.
struct HoleyFile {
    std::string original;   // path of the complete file
    std::string incomplete; // path of the copy with holes
    int64_t size = 0;
    std::vector<std::pair<int64_t, int64_t>> ranges;

    int64_t Missing() const;
    // An entry for List.xml describing the copy, to be fetched from url.
    TestEntry Entry(const std::string& url) const;
    // A segment file describing the copy, its file recorded under that name.
    std::string SegmentFileText(const std::string& recordedName) const;
};

std::string RandomBytes(size_t size, uint32_t seed);
// Whether bytes [begin, end) of `now` are still a hole, except that a
// fetch cut short may have written a first part of them: the original's
// bytes from begin on, then zeros to the end. Nothing else may be there.
bool HoleHoldsAtMostAPrefix(const std::string& now, const std::string& original, int64_t begin,
                            int64_t end);
HoleyFile MakeHoleyFile(const std::string& originalPath, const std::string& incompletePath,
                        int64_t size, const std::vector<std::pair<int64_t, int64_t>>& ranges,
                        uint32_t seed = 1);

// What a stopped run left, checked against the disk (`now`, the file's
// bytes): every queued range lies within one of the file's holes, no two
// overlap (the halves of a split share only their middle byte, which both
// request), every hole byte outside them holds the original's byte, and
// `downloaded` moved by exactly the bytes no longer queued. Returns each
// violation found (empty: none).
std::string QueueViolations(const HoleyFile& file, const std::string& original,
                            const std::string& now, std::vector<std::pair<int64_t, int64_t>> queue,
                            int64_t downloaded);
