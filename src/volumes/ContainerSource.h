#pragma once
#include <string>

#include "core/ByteReaders.h"
#include "core/ByteSource.h"

namespace brivo {

// How the bytes of a disk are stored in a file.
enum class TContainerKind { Raw, Ewf, Ewf2, Vhd, Vhdx, Vmdk, Qcow };

// "raw", "E01", "Ex01", "VHD", "VHDX", "VMDK", "QCOW2" (QCOW version 1 is named by
// ContainerOpened::Format).
std::string ContainerKindName(TContainerKind kind);

// The engine's image type (its -i value) for a container, empty for one the engine
// cannot read (QCOW).
std::string EngineImageType(TContainerKind kind);

// Whether the engine's tools can open a container at all; only our own readers look
// inside one it cannot (QCOW).
inline bool EngineReadsContainer(TContainerKind kind) { return !EngineImageType(kind).empty(); }

// The container a file holds, by its signature: head is its first bytes (512 or more),
// tail its last 512 bytes (the footer of a fixed VHD). Anything else is Raw.
TContainerKind DetectContainerKind(ByteSpan head, ByteSpan tail);

struct TOpenedContainer {
    TContainerKind Kind = TContainerKind::Raw;
    std::string Format;     // as in messages: "E01", "QCOW", "QCOW2", "raw"
    TByteSourcePtr Disk;    // the disk's bytes, decoded
};

// Opens path read-only and, by its signature, decodes the container it holds (a raw
// file or device is passed through). Throws std::runtime_error with the user's message:
// "No such file or directory: PATH", "The file is empty: PATH", "The E01 image PATH
// cannot be opened (...): <library detail>".
TOpenedContainer OpenContainer(const std::string& path);

// The library-backed sources (one .cpp each); format is the name used in messages.
TByteSourcePtr OpenEwfByteSource(const std::string& path, const std::string& format);
TByteSourcePtr OpenVhdiByteSource(const std::string& path, const std::string& format);
TByteSourcePtr OpenVmdkByteSource(const std::string& path, const std::string& format);
TByteSourcePtr OpenQcowByteSource(const std::string& path, const std::string& format);

} // namespace brivo
