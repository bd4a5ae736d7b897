#include "sftp/HostKey.h"

#include "platform/Exception.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace sftp {

namespace {

std::string Home()
{
    const char* home = std::getenv("HOME");
    return home ? home : "";
}

std::string FirstField(const std::string& line)
{
    return line.substr(0, line.find_first_of(" \t"));
}

} // namespace

std::string DefaultTrustFile()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const std::string base = (xdg && xdg[0] == '/') ? xdg : Home() + "/.config";
    return base + "/tavolen/known_hosts";
}

std::string UserKnownHostsFile() { return Home() + "/.ssh/known_hosts"; }

void RememberHostKey(const std::string& path, const HostKey& key)
{
    const std::string host = FirstField(key.knownHostsLine);
    std::string kept;
    {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line))
            if (FirstField(line) != host || line.empty()) kept += line + "\n";
    }
    kept += key.knownHostsLine;
    if (kept.back() != '\n') kept += "\n";

    const auto directory = std::filesystem::path(path).parent_path();
    if (!directory.empty() && !std::filesystem::exists(directory)) {
        std::error_code ignored;
        std::filesystem::create_directories(directory, ignored);
        ::chmod(directory.c_str(), 0700);
    }
    // Written beside and renamed over, so that a crash leaves the old file or the new one.
    const std::string temporary = path + ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << kept;
        out.flush();
        if (!out) {
            std::remove(temporary.c_str());
            throw FileWriteError(path);
        }
    }
    ::chmod(temporary.c_str(), 0600);
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        std::remove(temporary.c_str());
        throw FileWriteError(path, error);
    }
}

} // namespace sftp
