#include "private_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "errno_text.h"

namespace quavsim {

std::string SocketDirectory(const std::string& socket_path)
{
    const size_t slash = socket_path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : socket_path.substr(0, slash);
}

bool MakePrivateDirectory(const std::string& dir)
{
    bool made = false;
    if (mkdir(dir.c_str(), 0700) == 0) {
        made = true;
    } else if (errno != EEXIST) {
        throw std::runtime_error(Errno("cannot create the directory " + dir));
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0) {
        throw std::runtime_error(Errno("cannot inspect " + dir));
    }
    if (!S_ISDIR(st.st_mode)) {
        throw std::runtime_error(dir + " is not a directory");
    }
    if (st.st_uid != geteuid()) {
        throw std::runtime_error(dir + " belongs to another user");
    }
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw std::runtime_error(dir + " is open to other users (mode " + mode +
                                 "); the socket needs a private directory (mode 0700)");
    }
    return made;
}

} // namespace quavsim
