#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/file.h"

namespace engine {

/// The work files of a run's workers, one each, removed when the object goes.
class WorkFiles {
 public:
  /// A folder of this run's own in the user's private folder in the temporary folder
  /// (tarvel-cli's): tarvel-<uid>/tarvel-cli-XXXXXX/k5ywhqx, k5ywhqx0, k5ywhqx1 … Runs started
  /// together never wait for each other's work files then. The folder is made and opened once
  /// and its work files reached through that descriptor alone; it is locked while the run
  /// lasts, so that the next run of the user can tell the folder of a run that was killed, and
  /// clear it. Raises platform::Error where the private folder is not safe (another user's, or
  /// open to others) or no folder can be made: nothing is converted then.
  static WorkFiles Private(unsigned count);
  /// The window's: `first` (ChooseWorkFile's choice) and, for further workers, the names that
  /// follow it by the same rule (k5ywhqx0, k5ywhqx1 …) and that no file takes now. Other
  /// Tarvels may choose them too: they are locked while used.
  static WorkFiles Shared(const std::string& first, unsigned count);
  /// The window's folder command's: a folder of the run's own, as tarvel-cli's (Private), or,
  /// where none can be made, the shared work files from `first` on (Shared). Every file a run
  /// rewrites is made in its work file's folder, and the file system places a new file by the
  /// folder it is made in: had every run the same folder, each run's files would go where the
  /// earlier runs' files went, and once those are deleted ext4 (without a journal) looks past
  /// each of their freed inodes for every new file, which made a folder run several times
  /// slower. A folder made for the run is placed afresh.
  static WorkFiles ForFolderRun(const std::string& first, unsigned count);

  WorkFiles(WorkFiles&&) = default;
  WorkFiles& operator=(WorkFiles&&) = default;
  ~WorkFiles();

  const std::string& path(std::size_t worker) const;
  std::size_t count() const { return m_paths.size(); }
  bool shared() const { return m_shared; }
  /// The run's own work folder, open; -1 for shared work files.
  int folder() const { return m_lock.isOpen() ? m_lock.fd() : -1; }
  /// The first work file, which the window keeps: not removed by this object.
  void keepFirst() { m_keepFirst = true; }

 private:
  WorkFiles() = default;

  std::string m_folder;    // the run's folder, as it is shown
  std::string m_name;      // its name in the private folder
  platform::File m_lock;     // the run's folder, open and locked while the run lasts
  platform::File m_private;  // the user's private folder that holds it
  std::vector<std::string> m_paths;
  bool m_shared = false;
  bool m_keepFirst = false;
};

}  // namespace engine
