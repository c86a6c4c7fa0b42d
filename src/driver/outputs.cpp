// outputs.cpp: the replay's output files: checks, temporary names, putting in place, cleanup on signals.
#include "driver/outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <vector>

namespace {

// The temporary files being written, in fixed storage, so that a signal that
// ends the run can remove them with the calls a handler may make. A name is
// registered before its file exists and released only after the file is gone
// or renamed: a signal at any point between leaves nothing behind. The fences
// keep the name's bytes on their side of the flag as the handler sees them.
char pending[lv::OutputFile::kMax][PATH_MAX];
volatile std::sig_atomic_t pending_live[lv::OutputFile::kMax];
bool slot_taken[lv::OutputFile::kMax];  // places held by live outputs, given back by their end

int take_slot() {
    for (int i = 0; i < lv::OutputFile::kMax; ++i)
        if (!slot_taken[i]) {
            slot_taken[i] = true;
            return i;
        }
    std::abort();  // more outputs alive at once than the program ever makes
}

void register_pending(int slot, const std::string &name) {
    std::memcpy(pending[slot], name.c_str(), name.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pending_live[slot] = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void release_pending(int slot) {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pending_live[slot] = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

extern "C" void remove_pending_and_end(int sig) {
    for (int i = 0; i < lv::OutputFile::kMax; ++i)
        if (pending_live[i] != 0) ::unlink(pending[i]);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

const char *lv::program_name = "lumivane-replay";

lv::OutputFile::OutputFile(const char *option) : option_(option), slot_(take_slot()) {}

lv::OutputFile::~OutputFile() {
    discard();
    slot_taken[slot_] = false;
}

std::string lv::OutputFile::reserve(uint64_t bytes) const {
    if (temporary_.empty() || bytes == 0) return "";
    const int fd = ::open(temporary_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return std::string("cannot write ") + path + ": " + std::strerror(errno);
    const int status = ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
    const int error = errno;
    ::close(fd);
    if (status == 0 || (error != ENOSPC && error != EDQUOT && error != EFBIG)) return "";
    return std::string("cannot write ") + path + ": " + std::strerror(error);
}

bool lv::OutputFile::to_stdout() const { return path != nullptr && std::strcmp(path, "-") == 0; }

std::string lv::final_target(const std::string &path) {
    std::string at = path;
    // As many links as the kernel itself follows in one lookup.
    for (int links = 0; links <= 40; ++links) {
        struct stat st {};
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
        std::string to(static_cast<size_t>(st.st_size) + 1, '\0');
        ssize_t n = 0;
        // A link may change between lstat and readlink: read until it fits.
        while ((n = ::readlink(at.c_str(), to.data(), to.size())) >= static_cast<ssize_t>(to.size()))
            to.resize(to.size() * 2);
        if (n < 0) return at;
        to.resize(static_cast<size_t>(n));
        const size_t slash = at.rfind('/');
        at = to.starts_with('/') || slash == std::string::npos ? to : at.substr(0, slash + 1) + to;
    }
    return "";
}

lv::FileIdentity lv::identity_of(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return {st.st_dev, st.st_ino, ""};
    const std::string name = name_of(path);
    if (::stat(directory_of(path).c_str(), &st) == 0) return {st.st_dev, st.st_ino, name};
    return {0, 0, path};  // nowhere a file can be made: only its spelling is left
}

// The temporary file is TARGET.PID.XXXXXX.part: the pid in the name lets the
// parent remove what a replay killed outright left.
std::string lv::OutputFile::open() {
    target_ = final_target(path);
    if (target_.empty()) return std::string("cannot write ") + path + ": " + std::strerror(ELOOP);
    struct stat st {};
    if (::stat(target_.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        return std::string("cannot write ") + path +
               (S_ISDIR(st.st_mode) ? ": it is a directory" : ": it is not a regular file");
    const std::string stem = target_ + "." + std::to_string(::getpid()) + ".";
    if (stem.size() + 12 >= PATH_MAX) return std::string("cannot write ") + path + ": its name is too long";
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    unsigned long long state =
        static_cast<unsigned long long>(now.tv_nsec) * 0x9E3779B97F4A7C15ull + static_cast<unsigned>(slot_);
    int fd = -1;
    std::string name;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        name = stem;
        for (int k = 0; k < 6; ++k) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            name += letters[(state >> 33) % 36];
        }
        name += ".part";
        // Registered first: a signal before open() returns removes the name,
        // which at worst is the leftover of an earlier process of this pid.
        register_pending(slot_, name);
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) release_pending(slot_);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return std::string("cannot write ") + path + ": " + std::strerror(errno);
    temporary_ = name;
    file_ = ::fdopen(fd, "w");
    if (file_ == nullptr) {
        const int e = errno;
        ::close(fd);
        discard();
        return std::string("cannot write ") + path + ": " + std::strerror(e);
    }
    return "";
}

void lv::OutputFile::discard() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
    release_pending(slot_);
    temporary_.clear();
}

bool lv::OutputFile::fail(const char *what) {
    std::fprintf(stderr, "%s: could not write %s: %s\n", program_name, what, std::strerror(errno));
    discard();
    return false;
}

bool lv::OutputFile::finish(const std::string &text, std::FILE *out) {
    std::FILE *to = to_stdout() ? out : file_;
    bool ok = std::fwrite(text.data(), 1, text.size(), to) == text.size();
    ok = std::fflush(to) == 0 && ok;
    if (to_stdout()) {
        if (!ok) return fail("standard output");
        return true;
    }
    if (!ok) return fail(path);
    return commit();
}

bool lv::OutputFile::close_stream() {
    std::FILE *file = file_;
    file_ = nullptr;
    return file == nullptr || std::fclose(file) == 0;
}

bool lv::OutputFile::commit() {
    bool ok = true;
    if (file_ != nullptr) {
        ok = std::fflush(file_) == 0;
        ok = ::fsync(::fileno(file_)) == 0 && ok;
        ok = std::fclose(file_) == 0 && ok;
        file_ = nullptr;
    } else {
        // Written by name: its data reaches the disk before the name does.
        const int fd = ::open(temporary_.c_str(), O_RDONLY | O_CLOEXEC);
        ok = fd >= 0 && ::fsync(fd) == 0;
        if (fd >= 0) ::close(fd);
    }
    ok = ok && std::rename(temporary_.c_str(), target_.c_str()) == 0;
    if (!ok) return fail(path);
    release_pending(slot_);
    temporary_.clear();
    return true;
}

std::string lv::outputs_problem(std::span<OutputFile *const> outputs) {
    std::vector<FileIdentity> ids(outputs.size());
    for (size_t i = 0; i < outputs.size(); ++i)
        if (outputs[i]->requested() && !outputs[i]->to_stdout()) {
            // Links that never end name no file: known by their spelling, so
            // that opening them says why they cannot be written.
            const std::string target = final_target(outputs[i]->path);
            ids[i] = target.empty() ? FileIdentity{0, 0, outputs[i]->path} : identity_of(target);
        }
    for (size_t i = 0; i < outputs.size(); ++i)
        for (size_t k = i + 1; k < outputs.size(); ++k) {
            const OutputFile &a = *outputs[i];
            const OutputFile &b = *outputs[k];
            if (!a.requested() || !b.requested() || a.to_stdout() != b.to_stdout()) continue;
            if (a.to_stdout())
                return std::string(a.option()) + " and " + b.option() + " cannot both be - (standard output)";
            if (ids[i] == ids[k])
                return std::string(a.option()) + " and " + b.option() + " name the same file";
        }
    return "";
}

std::string lv::open_outputs(std::span<OutputFile *const> outputs) {
    for (OutputFile *out : outputs) {
        if (!out->requested() || out->to_stdout()) continue;
        if (std::string failed = out->open(); !failed.empty()) {
            for (OutputFile *made : outputs) made->discard();
            return failed;
        }
    }
    return "";
}

std::FILE *lv::data_stream(std::span<OutputFile *const> outputs) {
    bool aside = false;
    for (const OutputFile *out : outputs) aside = aside || out->to_stdout();
    if (!aside) return stdout;
    std::fflush(stdout);
    const int fd = ::dup(STDOUT_FILENO);
    std::FILE *data = fd < 0 ? nullptr : ::fdopen(fd, "w");
    if (data == nullptr || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::fprintf(stderr, "%s: cannot set standard output aside: %s\n", program_name, std::strerror(errno));
        return nullptr;
    }
    return data;
}

void lv::remove_outputs_on_signals() {
    for (const int sig : {SIGHUP, SIGINT, SIGPIPE, SIGTERM}) {
        struct sigaction now {};
        if (::sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN)
            std::signal(sig, remove_pending_and_end);
    }
}
