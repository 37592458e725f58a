// SPDX-License-Identifier: MIT
// Makes a new empty directory the current one for the lifetime of the object,
// so that the log file the module writes lands there.
#ifndef PELMAR4_TESTS_SUPPORT_SCRATCH_DIRECTORY_H
#define PELMAR4_TESTS_SUPPORT_SCRATCH_DIRECTORY_H

#include <filesystem>
#include <string>

class ScratchDirectory {
 public:
  explicit ScratchDirectory(const std::string& name);
  ~ScratchDirectory();
  // The whole content of `file` in this directory, or "" when missing.
  std::string Read(const std::string& file = "MXDRemote.log") const;
  const std::filesystem::path& Path() const { return path; }

 private:
  std::filesystem::path previous;
  std::filesystem::path path;
};

#endif
