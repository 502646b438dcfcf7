#pragma once
#include <cstdint>
#include <span>

namespace brivo {

// The update sequence protects each 512-byte stride of a record, whatever the volume's
// sector size: a volume formatted for 4096-byte sectors keeps 4096-byte records with nine
// entries in the array, not two.
inline constexpr int64_t kNtfsFixupStride = 512;

enum class TNtfsFixups {
    Ok,       // every stride ended in the sequence number; the saved bytes are back
    Damaged,  // the array (offset at 4, entry count at 6) or a stride end lies outside the record
    Torn,     // a stride ends in something else: a write that did not finish
};

// Checks and undoes the update sequence of a FILE or INDX record read from disk. Entry 0
// of the array is the sequence number, entry i the two bytes that belong at the end of
// stride i. The record is changed only when the result is Ok.
TNtfsFixups ApplyFixups(std::span<uint8_t> record);

} // namespace brivo
