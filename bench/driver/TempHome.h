#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace pavix::test {

/// A fresh temporary folder set as $HOME for the life of the object; removed afterwards.
class TempHome {
public:
    TempHome();
    ~TempHome();
    TempHome(const TempHome&) = delete;
    TempHome& operator=(const TempHome&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path configFolder() const;

private:
    std::filesystem::path path_;
    std::optional<std::string> previous_;
};

/// A fresh temporary folder, removed with the object.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

void writeText(const std::filesystem::path& path, const std::string& text, unsigned mode = 0644);
std::string readText(const std::filesystem::path& path);

} // namespace pavix::test
