// SPDX-License-Identifier: MIT
// What discovery learns about a serial port without opening it: which
// device the node is (to tell a replug from the port it replaced), whether
// this process may open it, which other processes hold it open, and whether
// the user has excluded it from probing.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kine_ports {

// The device behind a port name: the node's own inode (a replug makes a new
// node) and the inode and device number it leads to.
struct NodeIdentity {
    ino_t linkInode = 0;
    ino_t inode = 0;
    dev_t device = 0;
    bool operator==(const NodeIdentity& o) const {
        return linkInode == o.linkInode && inode == o.inode && device == o.device;
    }
    bool operator!=(const NodeIdentity& o) const { return !(*this == o); }
};

// False when the node is gone.
bool nodeIdentity(const std::string& path, NodeIdentity& identity);

// Mode, owner, group and status-change time of the node: a change means its
// permissions (or ACL) may have changed.
struct NodeAccess {
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    long changed = 0;
    long changedNs = 0;
    bool operator==(const NodeAccess& o) const {
        return mode == o.mode && owner == o.owner && group == o.group && changed == o.changed &&
               changedNs == o.changedNs;
    }
};
NodeAccess nodeAccess(const std::string& path);

// True when this process (by its effective ids) may open the node for
// reading and writing; errno-free: a missing node counts as accessible, the
// open will say why it fails.
bool mayOpen(const std::string& path);

// A process other than this one that has the device open.
struct Holder {
    int pid = 0;          // 0: none found
    std::string command;  // its command name, "" when unreadable
};

// The first other process with a descriptor on the character device at
// `path`, from the descriptors listed under <proc_root>/<pid>/fd. Processes
// of other users are visible to root only; for them the advisory lock that
// the probe's open takes is the remaining guard.
Holder findHolder(const std::string& path, const std::string& procRoot = "/proc");

// Ports named by the user: device paths (compared as given and after
// following links) and USB ids "vvvv:pppp" (hexadecimal). Entries are
// separated by commas, semicolons or white space.
class PortSelection {
public:
    PortSelection() = default;
    explicit PortSelection(const char* list);
    bool matches(const std::string& path, int vendorId, int productId) const;
    const std::vector<std::string>& paths() const { return paths_; }
    bool empty() const { return paths_.empty() && ids_.empty(); }

private:
    std::vector<std::string> paths_;
    std::vector<std::string> resolved_;
    std::vector<std::pair<int, int>> ids_;
};

// True when udev's database under <udev_root>/data marks the device with
// KINE_IGNORE (any value but "" and "0"), as the shipped rule file shows.
bool udevExcluded(const std::string& path, const std::string& udevRoot);

// The environment variables: ports never probed, and ports probed whatever
// their vendor (also when enumeration does not list them, e.g. a pty).
constexpr const char* kExcludeVariable = "KINE_EXCLUDE_PORTS";
constexpr const char* kProbeVariable = "KINE_PROBE_PORTS";

}  // namespace kine_ports
