#include "common/system_error.h"
#include "image/mapped_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune {
namespace {

// A file nobody else can reach, in `folder`: an unnamed O_TMPFILE where the file system has it,
// otherwise a named one removed at once. -1 with errno set when neither can be made there.
int privateFileIn(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) {
        return fd;
    }
    std::string name = folder + "/.kestrune-image-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) {
        ::unlink(name.c_str());
    }
    return fd;
}

// The folder that holds `path` (the path as given: a link's own folder), made absolute so that
// a message naming it is clear.
std::string folderOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    std::string folder = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
    if (folder[0] != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) != nullptr) {
            folder = folder == "." ? cwd : std::string(cwd) + "/" + folder;
        }
    }
    return folder;
}

std::string temporaryFolder() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp";
}

bool copyRange(int from, int to, off_t start, off_t end) {
    while (start < end) {
        loff_t in = start;
        loff_t out = start;
        const ssize_t n =
            ::copy_file_range(from, &in, to, &out, static_cast<size_t>(end - start), 0);
        if (n > 0) {
            start += n;
            continue;
        }
        if (n == 0) {
            return false; // the file shrank under us
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EXDEV && errno != ENOSYS && errno != EINVAL && errno != EOPNOTSUPP) {
            return false;
        }
        // No in-kernel copy between these file systems (a memory file, say): sendfile still
        // moves the pages inside the kernel, so that none of them count as this process's
        // private memory. A buffer is the last resort.
        if (::lseek(to, start, SEEK_SET) != start) {
            return false;
        }
        for (;;) {
            off_t in = start;
            const ssize_t sent = ::sendfile(to, from, &in, static_cast<size_t>(end - start));
            if (sent > 0) {
                start += sent;
                if (start == end) {
                    return true;
                }
            } else if (sent == 0) {
                return false; // the file shrank under us
            } else if (errno != EINTR) {
                break;
            }
        }
        if (errno != EINVAL && errno != ENOSYS) {
            return false;
        }
        char buffer[16384];
        while (start < end) {
            const size_t want =
                static_cast<size_t>(end - start) < sizeof buffer ? end - start : sizeof buffer;
            const ssize_t got = ::pread(from, buffer, want, start);
            if (got <= 0) {
                if (got < 0 && errno == EINTR) {
                    continue;
                }
                return false;
            }
            for (ssize_t done = 0; done < got;) {
                const ssize_t w = ::pwrite(to, buffer + done, got - done, start + done);
                if (w <= 0) {
                    if (w < 0 && errno == EINTR) {
                        continue;
                    }
                    return false;
                }
                done += w;
            }
            start += got;
        }
    }
    return true;
}

// Copies the file's data ranges into `copy`, a file of the same size (holes stay holes, so a
// sparse image costs nothing). 0, or the errno of the failure.
int fill(int fd, int copy, off_t size) {
    errno = 0;
    bool ok = ::ftruncate(copy, size) == 0;
    for (off_t at = 0; ok && at < size;) {
        off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0) {
            // ENXIO: nothing but a hole up to the end. Anything else: copy it all.
            if (errno == ENXIO) {
                break;
            }
            data = at;
        }
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0 || hole > size) {
            hole = size;
        }
        ok = copyRange(fd, copy, data, hole);
        at = hole;
    }
    return ok ? 0 : errno != 0 ? errno : EIO;
}

bool sameVersion(const struct stat& a, const struct stat& b) {
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ino == b.st_ino;
}

} // namespace

bool MappedFile::open(const char* path, MapError& error, int& systemError,
                      std::vector<SnapshotAttempt>* attempts) {
    close();
    error = MapError::None;
    systemError = 0;
    if (attempts != nullptr) {
        attempts->clear();
    }

    // Non-blocking, so that naming a FIFO fails at once instead of waiting for a writer; it has
    // no effect on a regular file.
    int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = MapError::Open;
        systemError = errno;
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = MapError::Size;
        systemError = errno;
        ::close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        // A directory or a device has no size worth mapping.
        error = MapError::Open;
        systemError = S_ISDIR(st.st_mode) ? EISDIR : NOT_A_REGULAR_FILE;
        ::close(fd);
        return false;
    }
    // The size travels as an unsigned 32-bit value (imageSize); 0xFFFFFFFF is the invalid marker.
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) >= 0xFFFFFFFFu) {
        error = MapError::Size;
        systemError = EFBIG;
        ::close(fd);
        return false;
    }
    const auto size = static_cast<uint32_t>(st.st_size);
    if (size == 0) {
        // An empty file cannot be mapped.
        error = MapError::Empty;
        systemError = EINVAL;
        ::close(fd);
        return false;
    }
    // Nothing keeps other programs from writing or truncating a file on POSIX, so the image is
    // served from a private copy taken now: a file rewritten during a download can neither
    // change what the box receives nor pull the pages from under the mapping. The copy goes
    // beside the image first (same file system: a cheap in-kernel copy or a shared extent), then
    // into the temporary folder, then into an anonymous memory file; a good image fails to load
    // only when none of them can hold it. Each lives in the page cache or tmpfs, not the heap.
    const std::string folders[2] = {folderOf(path), temporaryFolder()};
    const int folderCount = folders[1] == folders[0] ? 1 : 2;
    int copy = -1;
    int reason = 0;
    for (int place = 0; place <= folderCount && copy < 0; ++place) {
        const bool inMemory = place == folderCount;
        copy = inMemory ? ::memfd_create("kestrune-image", MFD_CLOEXEC)
                        : privateFileIn(folders[place]);
        reason = copy < 0 ? errno : fill(fd, copy, static_cast<off_t>(size));
        if (reason != 0) {
            if (copy >= 0) {
                ::close(copy);
                copy = -1;
            }
            if (attempts != nullptr) {
                attempts->push_back({inMemory ? std::string() : folders[place], reason});
            }
        }
        // A copy cut short by a file that shrank is no fault of the place.
        if (struct stat now{}; copy < 0 && ::fstat(fd, &now) == 0 && !sameVersion(st, now)) {
            break;
        }
    }
    struct stat after {};
    const bool changed = ::fstat(fd, &after) != 0 || !sameVersion(st, after);
    ::close(fd);
    if (changed) {
        if (copy >= 0) {
            ::close(copy);
        }
        if (attempts != nullptr) {
            attempts->clear();
        }
        error = MapError::Map;
        systemError = FILE_CHANGED_WHILE_LOADING;
        return false;
    }
    if (copy < 0) {
        error = MapError::Snapshot;
        systemError = reason;
        return false;
    }
    void* view = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, copy, 0);
    if (view == MAP_FAILED) {
        error = MapError::Map;
        systemError = errno;
        ::close(copy);
        return false;
    }
    file_ = copy;
    mapping_ = nullptr;
    view_ = static_cast<const uint8_t*>(view);
    size_ = size;
    return true;
}

void MappedFile::close() {
    if (view_ != nullptr) {
        ::munmap(const_cast<uint8_t*>(view_), size_);
    }
    if (file_ >= 0) {
        ::close(static_cast<int>(file_));
    }
    file_ = -1;
    mapping_ = nullptr;
    view_ = nullptr;
    size_ = 0;
}

std::string describeSystemError(int systemError) {
    if (systemError == NOT_A_REGULAR_FILE) {
        return "not a regular file";
    }
    if (systemError == FILE_CHANGED_WHILE_LOADING) {
        return "the file changed while it was being read";
    }
    return systemErrorText(CrtError{systemError});
}

} // namespace kestrune
