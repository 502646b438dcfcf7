#pragma once
#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "carve/CarveInput.h"

namespace brivo::carve {

// What a picture's header says about its one baseline scan: enough to walk the Huffman
// codes of its coded data, block by block, without decoding a single pixel.
struct TJpegScan {
    struct TTable {
        std::array<int32_t, 18> MaxCode{};
        std::array<int32_t, 17> ValPtr{};
        std::array<int32_t, 17> MinCode{};
        std::array<uint8_t, 256> Values{};
        // By the next 8 bits: the length of a code of 8 bits or fewer they begin with
        // (high byte) and its value; 0 when the code there is longer.
        std::array<uint16_t, 256> Look{};
        bool Present = false;
    };
    std::array<TTable, 4> Dc, Ac;
    struct TBlock {
        uint8_t Dc, Ac;     // table numbers
        uint8_t Comp;       // index into the scan's components, for its DC predictor
        uint16_t Col, Row;  // place of a first component's block inside its MCU, else 0xFFFF
    };
    std::vector<TBlock> Mcu;   // the blocks of one MCU, in coding order
    uint32_t McusWide = 0, McusHigh = 0;
    uint32_t BlocksWide = 0;   // of the first component, for the vertical neighbours' DC
    uint32_t Restart = 0;      // MCUs between restart markers; 0 when there are none
    uint64_t DataStart = 0;    // first byte of the coded data
    uint64_t Mcus() const { return uint64_t{McusWide} * McusHigh; }
};

// Reads the header from the input's start up to the first scan. False for anything but
// a baseline (sequential, Huffman, 8-bit) picture whose first scan holds every component:
// progressive and multi-scan pictures are not walked here.
bool ReadJpegScan(TCarveInput& in, TJpegScan& scan);

// Where a walk of the coded data stands between two MCUs: resumable from here on any
// bytes that are offered as the continuation.
struct TJpegState {
    uint64_t Pos = 0;      // next byte to read
    uint64_t Seen = 0;     // the end of the bytes looked at, which may run past Pos
    uint8_t Cur = 0;       // the byte being read bit by bit
    uint8_t Bits = 0;      // bits of Cur not yet used
    uint8_t NextRst = 0;   // the restart marker expected next (0..7)
    std::array<int32_t, 4> Pred{};
    uint64_t Mcu = 0;      // MCUs done
    uint32_t SinceRestart = 0;
    uint64_t Restarts = 0;  // restart markers passed, each in its place and of its number
    // The first component's last DC value per block column (the row above, as the walk
    // goes), and how far the blocks walked lately stand from the ones above them.
    std::vector<int16_t> Above;
    uint64_t Jump = 0, Jumps = 0;
    // When set, only the blocks of MCUs before this one count in Jump: the row after a
    // boundary, whose blocks above were walked before it.
    uint64_t SeamEnd = 0;
};

enum class TJpegStop : uint8_t {
    Broken,   // a code, value, marker or padding that no encoder writes
    End,      // the last MCU, its padding and the end-of-image marker
    Reached,  // walked to the given position with nothing amiss
};

struct TJpegWalk {
    TJpegStop Stop = TJpegStop::Broken;
    // Broken: the end of the bytes looked at (the one that gives it away is the last);
    // End: the byte after EOI; Reached: where it stopped.
    uint64_t At = 0;
};

// Walks the coded data from state (updated as it goes) until something is wrong, the
// picture ends, or the position reaches stopAt. Each time the walk enters a new cluster
// (clusterBytes from the input's start), the state at the start of the MCU that crossed
// into it is handed to onCross, with the cluster's start: resuming from there costs one
// MCU more than the cluster. A cluster whose first sector the input calls foreign
// (EndsHere) breaks the walk at its start.
class TJpegWalker {
public:
    TJpegWalker(const TJpegScan& scan, uint64_t clusterBytes) : scan_(scan), cluster_(clusterBytes) {}
    TJpegState Start() const;
    template <class F>
    TJpegWalk Walk(TCarveInput& in, TJpegState& s, uint64_t stopAt, F&& onCross);
    TJpegWalk Walk(TCarveInput& in, TJpegState& s, uint64_t stopAt) {
        return Walk(in, s, stopAt, [](const TJpegState&, uint64_t) {});
    }

private:
    bool Mcu(TCarveCursor& c, TJpegState& s);
    // The next bit; the byte it is in is loaded (and its stuffing checked) only when the
    // one before is used up, which most bits never need.
    int Bit(TCarveCursor& c, TJpegState& s) {
        if (s.Bits == 0 && !Load(c, s)) return -1;
        --s.Bits;
        return (s.Cur >> s.Bits) & 1;
    }
    // n bits (up to 16) that only need skipping, as a coefficient's magnitude.
    bool Skip(TCarveCursor& c, TJpegState& s, int n) {
        while (n > 0) {
            if (s.Bits == 0 && !Load(c, s)) return false;
            const int k = n < s.Bits ? n : s.Bits;
            s.Bits = static_cast<uint8_t>(s.Bits - k);
            n -= k;
        }
        return true;
    }
    bool Load(TCarveCursor& c, TJpegState& s);
    int Decode(TCarveCursor& c, TJpegState& s, const TJpegScan::TTable& t);
    bool Padding(TJpegState& s);
    // One stretch of the walk; the template above handles the crossings.
    TJpegWalk Step(TCarveCursor& c, TJpegState& s, bool& done);
    const TJpegScan& scan_;
    uint64_t cluster_;
};

template <class F>
TJpegWalk TJpegWalker::Walk(TCarveInput& in, TJpegState& s, uint64_t stopAt, F&& onCross) {
    TCarveCursor c(in, s.Pos, 16 * 1024);
    uint64_t cluster = cluster_ ? s.Pos / cluster_ : 0;
    TJpegState before;
    for (;;) {
        if (s.Pos >= stopAt) return {TJpegStop::Reached, s.Pos};
        if (cluster_) before = s;
        bool done = false;
        const TJpegWalk w = Step(c, s, done);
        const uint64_t reached = done ? std::max<uint64_t>(w.At, 1) - 1 : s.Pos;
        if (cluster_ && reached / cluster_ != cluster) {
            // Every cluster entered, in turn, even by an MCU that broke there: one that is
            // foreign ends the picture at its start.
            for (uint64_t k = cluster + 1; k <= reached / cluster_; ++k) {
                onCross(before, k * cluster_);
                if (in.EndsHere(k * cluster_)) return {TJpegStop::Broken, k * cluster_ + 1};
            }
            cluster = reached / cluster_;
        }
        if (done) return w;
    }
}

} // namespace brivo::carve
