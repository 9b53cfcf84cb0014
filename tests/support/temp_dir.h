// Temporary directories of the tests, removed with everything in them.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vpisd::test {

// A fresh directory under $TMPDIR (or /tmp).
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    // Writes `content` as the file `name` in the directory; returns its path.
    std::string Write(const std::string &name, const std::string &content) const;
    // Names of the entries in the directory.
    std::vector<std::string> List() const;

  private:
    std::string path_;
};

// A TempDir that is the current directory for the object's lifetime (for code that reads
// and writes files by their bare names, as the driver does with its init file).
class TempCwd : public TempDir {
  public:
    TempCwd();
    ~TempCwd();
    void WriteFile(const std::string &name, const std::string &content) const {
        Write(name, content);
    }

  private:
    std::string previous_;
};

// A fresh, unused name of exactly `length` characters under /tmp (11 or more), for a port
// name that must be short; whatever the test creates there is removed with the object.
class ShortTmpName {
  public:
    explicit ShortTmpName(size_t length);
    ~ShortTmpName();
    ShortTmpName(const ShortTmpName &) = delete;
    ShortTmpName &operator=(const ShortTmpName &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

} // namespace vpisd::test
