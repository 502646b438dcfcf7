#pragma once
#include <cstdint>
#include <span>

namespace brivo {

// Puts back the two bytes at the end of every `stride`-byte sector of a FILE record from
// its update sequence array (offset at 4, entry count at 6; entry 0 is the sequence
// number itself). False when the array or a sector end lies outside the record.
// The replaced bytes are not compared with the sequence number, so a torn write is not
// detected here.
bool ApplyFixups(std::span<uint8_t> record, int32_t stride);

} // namespace brivo
