// SPDX-License-Identifier: MIT
#include "ports/PortAccess.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace kine_ports {

namespace {

// Calls `take` with each line of `path` (without its newline) until it
// returns false. The file is opened O_CLOEXEC ("e"), so that a program
// another thread starts meanwhile does not inherit it.
template <typename Take>
void forEachLine(const std::string& path, Take take) {
    FILE* in = std::fopen(path.c_str(), "re");
    if (!in) return;
    char* text = nullptr;
    size_t room = 0;
    for (ssize_t n; (n = ::getline(&text, &room, in)) > 0;) {
        std::string line(text, static_cast<size_t>(n));
        if (line.back() == '\n') line.pop_back();
        if (!take(line)) break;
    }
    std::free(text);
    std::fclose(in);
}

std::string resolved(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return std::string();
    std::string result(real);
    std::free(real);
    return result;
}

bool isNumber(const char* text) {
    if (*text == '\0') return false;
    for (; *text; ++text)
        if (!std::isdigit(static_cast<unsigned char>(*text))) return false;
    return true;
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// True when one of the descriptors listed in `fdDir` is the character
// device `device`. Only descriptors whose link names something under /dev
// are looked at further.
bool holdsDevice(const std::string& fdDir, dev_t device) {
    Dir dir(opendir(fdDir.c_str()));
    if (!dir) return false;
    const int dfd = dirfd(dir.get());
    char link[64];
    while (const dirent* entry = readdir(dir.get())) {
        if (!isNumber(entry->d_name)) continue;
        const ssize_t n = readlinkat(dfd, entry->d_name, link, sizeof link - 1);
        if (n < 5 || std::strncmp(link, "/dev/", 5) != 0) continue;
        struct stat st {};
        if (fstatat(dfd, entry->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == device) return true;
    }
    return false;
}

bool parseId(const std::string& text, int& value) {
    if (text.empty() || text.size() > 4) return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    value = static_cast<int>(std::strtol(text.c_str(), nullptr, 16));
    return true;
}

}  // namespace

bool nodeIdentity(const std::string& path, NodeIdentity& identity) {
    struct stat node {};
    struct stat target {};
    if (lstat(path.c_str(), &node) != 0 || stat(path.c_str(), &target) != 0) return false;
    identity.linkInode = node.st_ino;
    identity.inode = target.st_ino;
    identity.device = target.st_rdev;
    return true;
}

NodeAccess nodeAccess(const std::string& path) {
    NodeAccess a;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return a;
    a.mode = st.st_mode;
    a.owner = st.st_uid;
    a.group = st.st_gid;
    a.changed = static_cast<long>(st.st_ctim.tv_sec);
    a.changedNs = st.st_ctim.tv_nsec;
    return a;
}

bool mayOpen(const std::string& path) {
    if (faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0) return true;
    return errno != EACCES && errno != EPERM && errno != EROFS;
}

Holder findHolder(const std::string& path, const std::string& procRoot) {
    Holder holder;
    struct stat target {};
    if (stat(path.c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) return holder;
    Dir proc(opendir(procRoot.c_str()));
    if (!proc) return holder;
    const std::string self = std::to_string(getpid());
    while (const dirent* entry = readdir(proc.get())) {
        if (!isNumber(entry->d_name) || self == entry->d_name) continue;
        const std::string base = procRoot + "/" + entry->d_name;
        if (!holdsDevice(base + "/fd", target.st_rdev)) continue;
        holder.pid = std::atoi(entry->d_name);
        forEachLine(base + "/comm", [&](const std::string& line) {
            holder.command = line;
            return false;
        });
        return holder;
    }
    return holder;
}

PortSelection::PortSelection(const char* list) {
    if (list == nullptr) return;
    std::string entry;
    const auto take = [this, &entry] {
        if (entry.empty()) return;
        const size_t colon = entry.find(':');
        std::pair<int, int> id;
        if (entry[0] != '/' && colon != std::string::npos && parseId(entry.substr(0, colon), id.first) &&
            parseId(entry.substr(colon + 1), id.second)) {
            ids_.push_back(id);
        } else {
            paths_.push_back(entry);
            resolved_.push_back(resolved(entry));
        }
        entry.clear();
    };
    for (const char* c = list; *c; ++c) {
        if (*c == ',' || *c == ';' || std::isspace(static_cast<unsigned char>(*c)))
            take();
        else
            entry += *c;
    }
    take();
}

bool PortSelection::matches(const std::string& path, int vendorId, int productId) const {
    for (const auto& id : ids_)
        if (id.first == vendorId && id.second == productId) return true;
    if (paths_.empty()) return false;
    std::string real;
    for (size_t i = 0; i < paths_.size(); ++i) {
        if (paths_[i] == path) return true;
        if (resolved_[i].empty()) continue;
        if (real.empty()) real = resolved(path);
        if (!real.empty() && real == resolved_[i]) return true;
    }
    return false;
}

bool udevExcluded(const std::string& path, const std::string& udevRoot) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const std::string file =
        udevRoot + "/data/c" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    static const char kKey[] = "E:KINE_IGNORE=";
    bool excluded = false;
    forEachLine(file, [&](const std::string& line) {
        if (line.compare(0, sizeof kKey - 1, kKey) != 0) return true;
        const std::string value = line.substr(sizeof kKey - 1);
        excluded = !value.empty() && value != "0";
        return false;
    });
    return excluded;
}

}  // namespace kine_ports
