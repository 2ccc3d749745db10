#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testing_support {

/// A fresh folder under the system's temporary folder, removed with everything in it.
class TempTree {
 public:
  TempTree();
  /// A fresh folder inside `parent` (for trees that must lie on a given file system).
  explicit TempTree(const std::string& parent);
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& path() const { return m_path; }
  /// Full path of `relative` inside the tree.
  std::string operator/(const std::string& relative) const { return m_path + "/" + relative; }
  /// Writes `content` to `relative`, creating its folders; returns the full path.
  std::string write(const std::string& relative, const std::string& content) const;
  std::string mkdir(const std::string& relative) const;

 private:
  std::string m_path;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool exists(const std::string& path);
/// Names in `folder`, sorted; "." and ".." left out.
std::vector<std::string> listFolder(const std::string& folder);

/// Sets an environment variable for the life of the object, then puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();

 private:
  std::string m_name;
  bool m_had;
  std::string m_old;
};

/// Runs a shell command; returns its exit status and its standard output (and error) in `output`.
int run(const std::string& command, std::string* output = nullptr);

}  // namespace testing_support
