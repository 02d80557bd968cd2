#include "relay/group_location.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brindock {
namespace {

// Copies `count` bytes of `text` to `to` at `length`, within `size`; false
// when they do not fit.
bool append(char* to, std::size_t size, std::size_t& length, const char* text, std::size_t count)
{
    if (length + count >= size) {
        return false;
    }
    std::memcpy(to + length, text, count);
    length += count;
    to[length] = '\0';
    return true;
}

// Appends a path as /proc/self/mountinfo writes it, with \ooo for blanks and
// backslashes, as the path itself.
bool append_unescaped(char* to, std::size_t size, std::size_t& length, const char* field,
                      std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        char c = field[i];
        if (c == '\\' && i + 3 < count && field[i + 1] >= '0' && field[i + 1] <= '3') {
            c = static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                  (field[i + 3] - '0'));
            i += 3;
        }
        if (!append(to, size, length, &c, 1)) {
            return false;
        }
    }
    return true;
}

// The `index`th field of a line of blank-separated fields, and its length.
const char* field_of(const char* line, int index, std::size_t& count)
{
    for (; index > 0 && line != nullptr; --index) {
        line = std::strchr(line, ' ');
        line = line != nullptr ? line + 1 : nullptr;
    }
    if (line == nullptr) {
        return nullptr;
    }
    count = std::strcspn(line, " \n");
    return line;
}

// The cgroup v2 mount from the lines of mountinfo: its mount point, unescaped,
// in `mount` and the part of the hierarchy it shows in `root`.
bool find_cgroup2_mount(char* text, char* mount, char* root, std::size_t size)
{
    for (char* line = text; line != nullptr && *line != '\0';) {
        char* next = std::strchr(line, '\n');
        if (next != nullptr) {
            *next++ = '\0';
        }
        const char* type = std::strstr(line, " - cgroup2 ");
        std::size_t root_count = 0;
        std::size_t mount_count = 0;
        const char* root_field = field_of(line, 3, root_count);
        const char* mount_field = field_of(line, 4, mount_count);
        std::size_t root_length = 0;
        std::size_t mount_length = 0;
        if (type != nullptr && root_field != nullptr && mount_field != nullptr &&
            append_unescaped(root, size, root_length, root_field, root_count) &&
            append_unescaped(mount, size, mount_length, mount_field, mount_count)) {
            return true;
        }
        line = next;
    }
    return false;
}

}  // namespace

long read_whole(int dir, const char* name, char* buffer, std::size_t size)
{
    const int fd = openat(dir, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    std::size_t length = 0;
    ssize_t got = 0;
    while (length < size - 1 && ((got = read(fd, buffer + length, size - 1 - length)) > 0 ||
                                 (got < 0 && errno == EINTR))) {
        length += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    close(fd);
    if (length == size - 1) {
        while (length > 0 && buffer[length - 1] != '\n') {
            --length;
        }
    }
    buffer[length] = '\0';
    return got < 0 ? -1 : static_cast<long>(length);
}

bool find_own_group_path(char* path, std::size_t size)
{
    static char text[65536];
    char mount[4096] = "";
    char root[4096] = "";
    if (read_whole(AT_FDCWD, "/proc/self/mountinfo", text, sizeof text) <= 0 ||
        !find_cgroup2_mount(text, mount, root, sizeof mount)) {
        return false;
    }
    // "0::/path": the relay's own group, as the hierarchy's root in this
    // namespace sees it; the mount may show only a part of it.
    if (read_whole(AT_FDCWD, "/proc/self/cgroup", text, sizeof text) <= 0) {
        return false;
    }
    const char* own = std::strstr(text, "0::/");
    const std::size_t root_length = std::strcmp(root, "/") == 0 ? 0 : std::strlen(root);
    if (own == nullptr || (own != text && own[-1] != '\n') ||
        std::strncmp(own + 3, root, root_length) != 0) {
        return false;
    }
    own += 3 + root_length;
    const std::size_t own_length = std::strcspn(own, "\n");
    // The mount may show a sibling of the relay's group, not it; and a group
    // outside this namespace's view shows as one above its root.
    const char* above = std::strstr(own, "/..");
    if ((own_length > 0 && own[0] != '/') || (above != nullptr && above < own + own_length)) {
        return false;
    }
    std::size_t length = 0;
    path[0] = '\0';
    return append(path, size, length, mount, std::strlen(mount)) &&
           append(path, size, length, own, own_length == 1 ? 0 : own_length) &&
           (length > 0 || append(path, size, length, "/", 1));
}

}  // namespace brindock
