#include "TempHome.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

namespace pavix::test {

namespace fs = std::filesystem;

static fs::path makeTempFolder() {
    std::string pattern = (fs::temp_directory_path() / "pavix-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return fs::canonical(pattern);
}

TempFolder::TempFolder()
    : path_(makeTempFolder()) {}
TempFolder::~TempFolder() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

TempHome::TempHome()
    : path_(makeTempFolder()) {
    if (const char* home = std::getenv("HOME")) previous_ = home;
    ::setenv("HOME", path_.c_str(), 1);
}

TempHome::~TempHome() {
    if (previous_)
        ::setenv("HOME", previous_->c_str(), 1);
    else
        ::unsetenv("HOME");
    std::error_code ec;
    fs::remove_all(path_, ec);
}

fs::path TempHome::configFolder() const {
    return path_ / "Library/Application Support/pavix";
}

void writeText(const fs::path& path, const std::string& text, unsigned mode) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace pavix::test
