#include "checkpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void failed(const std::string& path, const std::string& what, int error) {
    throw std::runtime_error("checkpoint " + path + ": " + what + ": " + std::strerror(error));
}

// Closes a descriptor on every way out.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

std::string directoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::optional<uint64_t> loadCheckpoint(const std::string& path) {
    Descriptor file;
    file.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        failed(path, "cannot open it", errno);
    }
    struct stat info;
    if (::fstat(file.fd, &info) != 0)
        failed(path, "cannot read it", errno);
    if (!S_ISREG(info.st_mode))
        failed(path, "cannot read it", S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    char text[32];
    ssize_t size = ::read(file.fd, text, sizeof text);
    if (size < 0)
        failed(path, "cannot read it", errno);
    // Digits and a line end, which a file written by hand may lack; anything
    // else is not a count.
    size_t digits = 0;
    while (digits < static_cast<size_t>(size) && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    const bool lineEnd = static_cast<size_t>(size) == digits + 1 && text[digits] == '\n';
    const bool wellFormed =
        digits > 0 && digits <= 19 && (static_cast<size_t>(size) == digits || lineEnd);
    if (!wellFormed) {
        throw std::runtime_error("checkpoint " + path +
                                 " does not hold a count of readings (a number and a line end); "
                                 "remove it to send the whole input again");
    }
    return std::stoull(std::string(text, digits));
}

void storeCheckpoint(const std::string& path, uint64_t acknowledged) {
    const std::string temporary = path + ".tmp";
    const std::string text = std::to_string(acknowledged) + "\n";
    {
        Descriptor file;
        file.fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (file.fd < 0)
            failed(path, "cannot create " + temporary, errno);
        if (::write(file.fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            failed(path, "cannot write " + temporary, errno ? errno : EIO);
        if (::fsync(file.fd) != 0)
            failed(path, "cannot flush " + temporary, errno);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        failed(path, "cannot rename " + temporary + " over it", errno);
    Descriptor directory;
    directory.fd = ::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory.fd < 0 || ::fsync(directory.fd) != 0)
        failed(path, "cannot flush its directory", errno);
}
