#include "TestMediaDir.h"

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

TestMediaDir::TestMediaDir(Layout layout) {
    char pattern[] = "/tmp/kivtest-XXXXXX";
    if (!mkdtemp(pattern)) {
        throw std::runtime_error("mkdtemp failed");
    }
    root = pattern;
    for (const char* sub : {"config", "logs", "tmp"}) {
        if (layout == Layout::MediaFolders) {
            fs::create_directories(root + "/" + sub);
        }
    }
    setenv("KIV_MEDIA_DIR", root.c_str(), 1);
}

TestMediaDir::~TestMediaDir() {
    std::error_code ec;
    fs::remove_all(root, ec);
}

void TestMediaDir::write(const std::string& relative, const std::string& contents, bool byRename) const {
    std::string target = file(relative);
    fs::create_directories(fs::path(target).parent_path());
    std::string temp = byRename ? target + ".tmp-write" : target;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out << contents;
    }
    if (byRename) {
        fs::rename(temp, target);
    }
}

std::string TestMediaDir::read(const std::string& relative) const {
    std::ifstream in(file(relative), std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool TestMediaDir::exists(const std::string& relative) const {
    return fs::exists(file(relative));
}

void TestMediaDir::remove(const std::string& relative) const {
    std::error_code ec;
    fs::remove(file(relative), ec);
}
