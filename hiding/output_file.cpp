// SPDX-License-Identifier: GPL-3.0-or-later
#include "hiding/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace {

// The temporary files of the writes in progress, where a signal handler can
// reach them: a folder descriptor and a name, so that nothing needs to be
// allocated or joined in the handler.
constexpr int kFree = 0, kFilling = 1, kArmed = 2;
struct Pending {
    std::atomic<int> state{kFree};
    int folder = -1;
    char name[32] = {};
};
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");
Pending g_pending[8];

// Every signal whose default ends the program without a fault of its own:
// each would otherwise leave a hidden partial file.
constexpr int kStopSignals[] = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT, SIGUSR1, SIGUSR2,
                                SIGALRM, SIGPIPE, SIGVTALRM, SIGPROF, SIGXCPU};

int Claim(int folder, const std::string& name) {
    if (name.size() >= sizeof Pending::name) return -1;
    for (int i = 0; i < static_cast<int>(std::size(g_pending)); ++i) {
        int expected = kFree;
        if (!g_pending[i].state.compare_exchange_strong(expected, kFilling)) continue;
        g_pending[i].folder = folder;
        name.copy(g_pending[i].name, name.size());
        g_pending[i].name[name.size()] = '\0';
        g_pending[i].state.store(kArmed);
        return i;
    }
    return -1;  // more writes at once than slots: only the normal paths clean up
}

void Release(int* slot) {
    if (*slot < 0) return;
    g_pending[*slot].state.store(kFree);
    *slot = -1;
}

extern "C" void RemoveTemporariesAndRaise(int number) {
    for (Pending& pending : g_pending)
        if (pending.state.load() == kArmed) ::unlinkat(pending.folder, pending.name, 0);
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    ::sigaction(number, &fallback, nullptr);
    ::raise(number);  // blocked until the handler returns, then ends the program
}

// Holds the stop signals back while a temporary file is created and
// registered, so that none can leave it behind unregistered.
class StopSignalsHeld {
  public:
    StopSignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int number : kStopSignals) sigaddset(&held, number);
        ::pthread_sigmask(SIG_BLOCK, &held, &previous_);
    }
    ~StopSignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
    StopSignalsHeld(const StopSignalsHeld&) = delete;
    StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;

  private:
    sigset_t previous_;
};

// Twelve letters and digits, about 71 bits: a name no one can plant ahead.
std::string RandomName() {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[12];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // No entropy source: still unlikely to repeat, and O_EXCL keeps it safe.
        static std::atomic<unsigned> serial{0};
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        uint64_t mix =
            (uint64_t(now.tv_nsec) << 20) ^ uint64_t(::getpid()) ^ (uint64_t(++serial) << 44);
        for (unsigned char& b : bytes) {
            mix = mix * 6364136223846793005u + 1442695040888963407u;
            b = static_cast<unsigned char>(mix >> 56);
        }
    }
    std::string name;
    for (unsigned char b : bytes) name += kAlphabet[b % (sizeof kAlphabet - 1)];
    return name;
}

}  // namespace

OutputFile::OutputFile(const std::string& target, Replace replace) : replace_(replace) {
    std::string path = target;
    struct stat info {};
    if (replace == Replace::kLinkTarget && ::lstat(target.c_str(), &info) == 0 &&
        S_ISLNK(info.st_mode)) {
        if (char* real = ::realpath(target.c_str(), nullptr)) {
            path = real;
            std::free(real);
        }
    }
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    leaf_ = slash == std::string::npos ? path : path.substr(slash + 1);
    if (leaf_.empty()) {
        Fail(EISDIR);
        return;
    }
    folder_ = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder_ < 0) {
        Fail(errno);
        return;
    }
    Create(folder);
}

OutputFile::OutputFile(int folder, const std::string& leaf, Replace replace)
    : replace_(replace), leaf_(leaf) {
    if (replace == Replace::kLinkTarget || leaf_.empty() || leaf_.find('/') != std::string::npos) {
        Fail(EINVAL);
        return;
    }
    folder_ = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    if (folder_ < 0) {
        Fail(errno);
        return;
    }
    Create({});
}

// The temporary file in folder_, `folder` its path when known.
void OutputFile::Create(const std::string& folder) {
    struct stat info {};
    // A regular file that is replaced keeps its permissions (not set-user-ID
    // and the like, which a write in place would also have cleared).
    const int follow = replace_ == Replace::kLinkTarget ? 0 : AT_SYMLINK_NOFOLLOW;
    if (replace_ != Replace::kNever && ::fstatat(folder_, leaf_.c_str(), &info, follow) == 0 &&
        S_ISREG(info.st_mode)) {
        replacesFile_ = true;
        finalMode_ = info.st_mode & 0777;
    }

    {
        StopSignalsHeld held;
        for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
            temporary_ = ".ombrel-" + RandomName();
            // Mode 0666 as a plain create: the kernel applies the umask, or
            // the folder's default ACL.
            fd_ = ::openat(folder_, temporary_.c_str(),
                           O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd_ < 0 && errno != EEXIST) break;
        }
        if (fd_ < 0) {
            temporary_.clear();
            Fail(errno);
            return;
        }
        slot_ = Claim(folder_, temporary_);
    }

    if (::fstat(fd_, &info) != 0) {
        Fail(errno);
        return;
    }
    const unsigned created = info.st_mode & 0777;
    if (!replacesFile_) finalMode_ = created;
    // Writers open the file again by WritePath, which needs the owner's
    // read and write whatever the umask left; Publish sets the final mode.
    if ((created & 0600) != 0600 && ::fchmod(fd_, created | 0600) != 0) {
        Fail(errno);
        return;
    }
    // /proc/self/fd/N reopens this very file even if its name were swapped
    // for a link meanwhile; without /proc, the name is all there is.
    const std::string byDescriptor = "/proc/self/fd/" + std::to_string(fd_);
    struct stat seen {};
    if (::stat(byDescriptor.c_str(), &seen) == 0 && seen.st_dev == info.st_dev &&
        seen.st_ino == info.st_ino)
        writePath_ = byDescriptor;
    else if (!folder.empty())
        writePath_ = (folder == "/" ? std::string() : folder) + "/" + temporary_;
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!published_ && !temporary_.empty()) ::unlinkat(folder_, temporary_.c_str(), 0);
    Release(&slot_);
    if (folder_ >= 0) ::close(folder_);
}

bool OutputFile::Fail(int error) {
    error_ = error != 0 ? error : EIO;
    return false;
}

bool OutputFile::Write(const void* data, size_t size) {
    if (error_ != 0) return false;
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = ::write(fd_, bytes, size);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return Fail(put < 0 ? errno : EIO);
        bytes += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool OutputFile::Publish() {
    if (error_ != 0) return false;
    struct stat info {};
    if (::fstat(fd_, &info) != 0) return Fail(errno);
    if ((info.st_mode & 0777) != finalMode_ && ::fchmod(fd_, finalMode_) != 0) return Fail(errno);
    // A rename over a file must not come before the new bytes are on disk,
    // or a crash could leave the user with an empty file.
    if (replacesFile_ && ::fsync(fd_) != 0) return Fail(errno);
    // Some file systems (NFS) report a full disk only at close.
    if (::close(std::exchange(fd_, -1)) != 0 && errno != EINTR) return Fail(errno);

    const char* from = temporary_.c_str();
    const char* to = leaf_.c_str();
    if (replace_ != Replace::kNever) {
        if (::renameat(folder_, from, folder_, to) != 0) return Fail(errno);
    } else if (::renameat2(folder_, from, folder_, to, RENAME_NOREPLACE) != 0) {
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return Fail(errno);
        // File systems without it (NFS, some FUSE): a hard link refuses an
        // existing name as well.
        if (::linkat(folder_, from, folder_, to, 0) == 0) {
            ::unlinkat(folder_, from, 0);
        } else {
            if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return Fail(errno);
            // Nor links (FAT): look, then rename; a race can still be lost.
            if (::fstatat(folder_, to, &info, AT_SYMLINK_NOFOLLOW) == 0) return Fail(EEXIST);
            if (::renameat(folder_, from, folder_, to) != 0) return Fail(errno);
        }
    }
    published_ = true;
    Release(&slot_);
    return true;
}

bool IsFullDisk(int error) {
    return error == ENOSPC || error == EDQUOT || error == EFBIG || error == EIO;
}

void InstallSignalCleanup() {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGXFSZ, &ignore, nullptr);

    struct sigaction cleanup = {};
    cleanup.sa_handler = RemoveTemporariesAndRaise;
    sigemptyset(&cleanup.sa_mask);
    for (int number : kStopSignals) sigaddset(&cleanup.sa_mask, number);
    for (int number : kStopSignals) {
        struct sigaction current = {};
        // Only where nothing else handles it (an ignored one stays ignored,
        // a profiler's or an embedder's handler stays theirs).
        if (::sigaction(number, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
        ::sigaction(number, &cleanup, nullptr);
    }
}
