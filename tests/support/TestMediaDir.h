#pragma once
// A fresh media directory under /tmp for one test, removed again on destruction. The constructor
// points KIV_MEDIA_DIR at it and, unless asked for an empty one, makes the config, logs and tmp
// folders a media directory has.

#include <string>

class TestMediaDir {
public:
    enum class Layout { MediaFolders, Empty };
    explicit TestMediaDir(Layout layout = Layout::MediaFolders);
    ~TestMediaDir();
    TestMediaDir(const TestMediaDir&) = delete;
    TestMediaDir& operator=(const TestMediaDir&) = delete;

    const std::string& path() const { return root; }
    std::string file(const std::string& relative) const { return root + "/" + relative; }
    // Writes a file (creating folders) directly, or by writing a temporary and renaming it in.
    void write(const std::string& relative, const std::string& contents, bool byRename = false) const;
    std::string read(const std::string& relative) const;
    bool exists(const std::string& relative) const;
    void remove(const std::string& relative) const;

private:
    std::string root;
};
