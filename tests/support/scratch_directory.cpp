// SPDX-License-Identifier: MIT
#include "scratch_directory.h"

#include <fstream>
#include <sstream>

ScratchDirectory::ScratchDirectory(const std::string& name)
    : previous(std::filesystem::current_path()), path(previous / ("scratch-" + name)) {
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  std::filesystem::current_path(path);
}

ScratchDirectory::~ScratchDirectory() {
  std::filesystem::current_path(previous);
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::string ScratchDirectory::Read(const std::string& file) const {
  std::ifstream in(path / file, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}
