#include "tests/support/temp_tree.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

namespace {

std::string systemTemporaryFolder() {
  const char* tmp = getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

}  // namespace

TempTree::TempTree() : TempTree(systemTemporaryFolder()) {}

TempTree::TempTree(const std::string& parent) {
  std::string pattern = parent + "/tarvel-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = pattern;
}

TempTree::~TempTree() {
  // Undo what tests do to make files hard to remove.
  std::string cmd = "chattr -R -i -a '" + m_path + "' >/dev/null 2>&1; chmod -R u+rwx '" + m_path +
                    "' >/dev/null 2>&1";
  [[maybe_unused]] int ignored = system(cmd.c_str());
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

std::string TempTree::write(const std::string& relative, const std::string& content) const {
  const std::string full = *this / relative;
  std::filesystem::create_directories(std::filesystem::path(full).parent_path());
  writeFile(full, content);
  return full;
}

std::string TempTree::mkdir(const std::string& relative) const {
  const std::string full = *this / relative;
  std::filesystem::create_directories(full);
  return full;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listFolder(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
  const char* old = getenv(name);
  m_had = old != nullptr;
  if (m_had) m_old = old;
  if (value) {
    setenv(name, value, 1);
  } else {
    unsetenv(name);
  }
}

ScopedEnv::~ScopedEnv() {
  if (m_had) {
    setenv(m_name.c_str(), m_old.c_str(), 1);
  } else {
    unsetenv(m_name.c_str());
  }
}

int run(const std::string& command, std::string* output) {
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  char buf[4096];
  while (std::size_t n = fread(buf, 1, sizeof buf, pipe)) text.append(buf, n);
  const int status = pclose(pipe);
  if (output) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace testing_support
