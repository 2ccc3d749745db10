#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "engine/file/convert_file.h"
#include "engine/file/file_ref.h"
#include "platform/file.h"

// The work file of a conversion, as the conversion itself uses it.
namespace engine {

class LockBudget;

// The work file's folder, open and kept from one conversion to the next (on the thread that
// converts), with what every conversion needs to know of it.
struct WorkArea {
  std::string path;
  platform::File folder;
  FolderFacts facts;
  uid_t owner = 0;          // the owner a new file gets there
  gid_t newGroup = 0;       // the group a new file gets there
  bool defaultAcl = false;  // a new file gets an ACL there
};

// The work file, open (and locked where it is shared), in its folder.
struct WorkFile {
  WorkArea* area;
  std::string name;
  platform::File file;
};

/// The work file `workFile` (in the open `workFolder`, or reached by its path where that is -1),
/// open and, where it is `shared`, locked: waited for while another Tarvel holds it.
WorkFile openWorkFile(const std::string& workFile, int workFolder, const struct stat& source,
                      const EventPump& pump, bool shared, LockBudget* budget);

}  // namespace engine
