#include "TempHome.h"

#include "util/Files.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <sys/stat.h>

namespace pavix::test {

namespace fs = std::filesystem;

TempFolder::TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "pavix-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = fs::canonical(pattern);
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

TempHome::TempHome() {
    if (const char* home = std::getenv("HOME")) previous_ = home;
    ::setenv("HOME", path().c_str(), 1);
}

TempHome::~TempHome() {
    if (previous_)
        ::setenv("HOME", previous_->c_str(), 1);
    else
        ::unsetenv("HOME");
}

void writeText(const fs::path& path, const std::string& text, unsigned mode) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string readText(const fs::path& path) {
    return readFile(path).value_or("");
}

} // namespace pavix::test
