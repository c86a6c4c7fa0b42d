// outputs.cpp: the replay's output files: checks, temporary names, putting in place, cleanup on signals.
#include "driver/outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

namespace {

// The temporary files being written, in fixed storage, so that a signal that
// ends the run can remove them with the calls a handler may make.
char pending[lv::OutputFile::kMax][PATH_MAX];
volatile std::sig_atomic_t pending_live[lv::OutputFile::kMax];
int slots_taken = 0;

extern "C" void remove_pending_and_end(int sig) {
    for (int i = 0; i < lv::OutputFile::kMax; ++i)
        if (pending_live[i] != 0) ::unlink(pending[i]);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

const char *lv::program_name = "lumivane-replay";

lv::OutputFile::OutputFile(const char *option) : option_(option), slot_(slots_taken++) {
    if (slot_ >= kMax) std::abort();
}

bool lv::OutputFile::to_stdout() const { return path != nullptr && std::strcmp(path, "-") == 0; }

// The temporary file is PATH.PID.XXXXXX.part: the pid in the name lets the
// parent remove what a replay killed outright left.
std::string lv::OutputFile::open() {
    struct stat st {};
    if (::stat(path, &st) == 0 && S_ISDIR(st.st_mode))
        return std::string("cannot write ") + path + ": it is a directory";
    const std::string stem = std::string(path) + "." + std::to_string(::getpid()) + ".";
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
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return std::string("cannot write ") + path + ": " + std::strerror(errno);
    temporary_ = name;
    std::memcpy(pending[slot_], name.c_str(), name.size() + 1);
    pending_live[slot_] = 1;
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
    pending_live[slot_] = 0;
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
    ok = ok && std::rename(temporary_.c_str(), path) == 0;
    if (!ok) return fail(path);
    pending_live[slot_] = 0;
    temporary_.clear();
    return true;
}

std::string lv::outputs_problem(std::span<OutputFile *const> outputs) {
    for (size_t i = 0; i < outputs.size(); ++i)
        for (size_t k = i + 1; k < outputs.size(); ++k) {
            const OutputFile &a = *outputs[i];
            const OutputFile &b = *outputs[k];
            if (!a.requested() || !b.requested()) continue;
            if (a.to_stdout() && b.to_stdout())
                return std::string(a.option()) + " and " + b.option() + " cannot both be - (standard output)";
            if (!a.to_stdout() && std::strcmp(a.path, b.path) == 0)
                return std::string(a.option()) + " and " + b.option() + " name the same file";
        }
    return "";
}

void lv::remove_outputs_on_signals() {
    for (const int sig : {SIGHUP, SIGINT, SIGPIPE, SIGTERM}) {
        struct sigaction now {};
        if (::sigaction(sig, nullptr, &now) == 0 && now.sa_handler != SIG_IGN)
            std::signal(sig, remove_pending_and_end);
    }
}
