#include "queue/LocalTarget.h"

#include "platform/Exception.h"
#include "platform/LocalFile.h"

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <set>
#include <system_error>

namespace transfer {

namespace fs = std::filesystem;

namespace {

// "a/b/c" lies below "a" and "a/b", not below "ab".
bool Below(const std::string& path, const std::set<std::string>& folders)
{
    for (size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        if (folders.count(path.substr(0, slash)) != 0) return true;
    return false;
}

// The failure's own words, without the "Cannot ... PATH: " the plan's line says already.
std::string Why(const Exception& error, const std::string& path)
{
    const std::string& message = error.Message();
    const size_t at = message.find(path + ": ");
    return at == std::string::npos ? message : message.substr(at + path.size() + 2);
}

} // namespace

LocalTargetCheck PrepareLocalTarget(TreePlan& plan, const std::string& localRoot)
{
    LocalTargetCheck check;
    // The root is the user's own: made as named, links on the way followed.
    std::error_code error;
    fs::create_directories(localRoot, error);
    if (error) {
        check.rootFailure = localRoot + ": " + error.message();
        return check;
    }
    std::optional<platform::LocalDirectory> root;
    try {
        root.emplace(platform::LocalDirectory::Open(localRoot));
    } catch (const Exception& failure) {
        check.rootFailure = failure.Message();
        return check;
    }
    std::set<std::string> failed;
    for (const fs::path& directory : plan.localDirectories) {
        const std::string below = directory.lexically_relative(localRoot).generic_string();
        if (below.empty() || below == "." || Below(below, failed)) continue;
        try {
            root->Below(below, true);
        } catch (const Exception& failure) {
            failed.insert(below);
            check.refused.push_back(below + ": " + Why(failure, root->PathOf(below)));
        }
    }
    TreePlan kept;
    kept.localDirectories = plan.localDirectories;
    kept.skipped = plan.skipped;
    for (size_t i = 0; i < plan.items.size(); ++i) {
        const std::string& path = plan.files[i].path;
        if (Below(path, failed)) continue;
        struct stat info {};
        const std::string local = plan.items[i].request.localPath;
        if (plan.items[i].request.operation == Operation::Get &&
            ::lstat(local.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
            check.refused.push_back(path + ": " + platform::NotARegularFile(info));
            continue;
        }
        kept.items.push_back(std::move(plan.items[i]));
        kept.files.push_back(std::move(plan.files[i]));
    }
    plan = std::move(kept);
    return check;
}

} // namespace transfer
