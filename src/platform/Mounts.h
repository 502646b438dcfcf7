#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace brivo {

// One line of /proc/self/mountinfo, fields unescaped.
struct TMountEntry {
    unsigned Major = 0, Minor = 0;  // the file system's device number (st_dev of its files)
    std::string Root;        // the mounted folder of the file system ("/" for a whole volume)
    std::string MountPoint;  // where it is mounted
    std::string FsType;      // e.g. ext4, fuseblk, nfs4, tmpfs
    std::string Source;      // e.g. /dev/sdb1, an image file, server:/export, tmpfs
};

// Undoes the kernel's octal escapes of mountinfo fields (\040 blank, \011 tab, \012 line
// feed, \134 backslash); any other backslash is kept as it stands.
std::string UnescapeMountField(std::string_view field);

// Parses mountinfo text; malformed lines are skipped.
std::vector<TMountEntry> ParseMountInfo(std::string_view text);

// The text of /proc/self/mountinfo; empty when it cannot be read.
std::string ReadSelfMountInfo();

// The mount that holds a folder, and where the folder lies inside that file system.
struct TFolderMount {
    TMountEntry Mount;
    // The folder's path inside the mounted file system: "/" for its root, else "/a/b".
    // For a bind mount of a sub-folder this starts with the mount's Root.
    std::string PathInVolume;
};

// Finds the mount holding an absolute, already resolved path: the longest mount point
// that equals the path or is a folder prefix of it ("/mnt" holds "/mnt/x", not "/mntx");
// of equal mount points the last line wins, since a later mount hides an earlier one.
// False when no mount matches (a relative path, or text without a "/" mount).
// With a device number (the folder's st_dev), only mounts of that device are taken when
// any of them holds the path: this sees through a mount that a later mount on a parent
// folder has hidden.
bool FindMountOf(const std::string& resolvedPath, std::string_view mountInfoText, TFolderMount& out,
                 const unsigned* deviceMajorMinor = nullptr);

// realpath and stat of folder, then FindMountOf with its device number. False when the
// folder cannot be resolved or no mount holds it.
bool LocateFolderMount(const std::string& folder, std::string_view mountInfoText, TFolderMount& out);

// True for file systems reached over a network (nfs, nfs4, cifs, smb3, 9p, ceph,
// glusterfs, afs, fuse.sshfs, fuse.rclone).
bool IsNetworkFileSystem(const std::string& fsType);

// The readable thing behind a mount: its source when that is a device path ("/dev/...")
// or an existing regular file given by an absolute path (an image mounted through FUSE);
// empty otherwise (tmpfs, overlay, proc, network shares).
std::string MountBackingSource(const TMountEntry& mount);

// The device mounted at "/" (the system volume), e.g. "/dev/sda2"; empty when "/" is not
// backed by a device.
std::string RootDeviceSource(std::string_view mountInfoText);

} // namespace brivo
