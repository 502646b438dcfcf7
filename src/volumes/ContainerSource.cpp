#include "volumes/ContainerSource.h"
#include "volumes/MappedImage.h"

#include <cstring>
#include <stdexcept>
#include <vector>

namespace brivo {

namespace {

bool StartsWith(ByteSpan b, size_t pos, const char* sig, size_t n) {
    return pos <= b.size() && b.size() - pos >= n && std::memcmp(b.data() + pos, sig, n) == 0;
}

} // namespace

std::string ContainerKindName(TContainerKind kind) {
    switch (kind) {
        case TContainerKind::Raw: return "raw";
        case TContainerKind::Ewf: return "E01";
        case TContainerKind::Ewf2: return "Ex01";
        case TContainerKind::Vhd: return "VHD";
        case TContainerKind::Vhdx: return "VHDX";
        case TContainerKind::Vmdk: return "VMDK";
        case TContainerKind::Qcow: return "QCOW2";
    }
    return "raw";
}

std::string EngineImageType(TContainerKind kind) {
    switch (kind) {
        case TContainerKind::Raw: return "raw";
        case TContainerKind::Ewf:
        case TContainerKind::Ewf2: return "ewf";
        case TContainerKind::Vhd:
        case TContainerKind::Vhdx: return "vhd";
        case TContainerKind::Vmdk: return "vmdk";
        case TContainerKind::Qcow: break;
    }
    return {};
}

TContainerKind DetectContainerKind(ByteSpan head, ByteSpan tail) {
    if (StartsWith(head, 0, "EVF\x09\x0d\x0a\xff\x00", 8)) return TContainerKind::Ewf;
    if (StartsWith(head, 0, "EVF2\x0d\x0a\x81\x00", 8)) return TContainerKind::Ewf2;
    if (StartsWith(head, 0, "vhdxfile", 8)) return TContainerKind::Vhdx;
    // A dynamic VHD starts with a copy of its footer; a fixed one has it only at the end.
    if (StartsWith(head, 0, "conectix", 8) || StartsWith(tail, 0, "conectix", 8)) return TContainerKind::Vhd;
    // Sparse extent ("KDMV"), ESX sparse ("COWD") or a text descriptor.
    if (StartsWith(head, 0, "KDMV", 4) || StartsWith(head, 0, "COWD", 4) ||
        StartsWith(head, 0, "# Disk DescriptorFile", 21))
        return TContainerKind::Vmdk;
    if (StartsWith(head, 0, "QFI\xfb", 4)) return TContainerKind::Qcow;
    return TContainerKind::Raw;
}

TOpenedContainer OpenContainer(const std::string& path) {
    TOpenedContainer c;
    TByteSourcePtr raw = OpenRawByteSource(path);
    const uint64_t size = raw->Size();
    std::vector<uint8_t> head(512, 0);
    const int64_t got = raw->ReadAt(0, head.data(), head.size());
    if (got < 0) throw std::runtime_error(raw->LastError() + ": " + path);
    if (got == 0) throw std::runtime_error("The source is empty (it holds no data): " + path);
    head.resize(static_cast<size_t>(got));
    std::vector<uint8_t> tail;
    if (size >= 1024) {
        tail.assign(512, 0);
        if (!raw->ReadExact(size - 512, tail.data(), tail.size())) tail.clear();
    }
    c.Kind = DetectContainerKind(head, tail);
    c.Format = ContainerKindName(c.Kind);
    if (c.Kind == TContainerKind::Qcow && head.size() >= 8 && head[7] == 1) c.Format = "QCOW";
    switch (c.Kind) {
        case TContainerKind::Raw: c.Disk = WithRescueMap(raw, path); break;
        case TContainerKind::Ewf:
        case TContainerKind::Ewf2: c.Disk = OpenEwfByteSource(path, c.Format); break;
        case TContainerKind::Vhd:
        case TContainerKind::Vhdx: c.Disk = OpenVhdiByteSource(path, c.Format); break;
        case TContainerKind::Vmdk: c.Disk = OpenVmdkByteSource(path, c.Format); break;
        case TContainerKind::Qcow: c.Disk = OpenQcowByteSource(path, c.Format); break;
    }
    return c;
}

} // namespace brivo
