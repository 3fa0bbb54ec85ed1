// write_index_files and the render function of SaveError.
#include "build/save.h"

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/file_write.h"

namespace korvel {

namespace {

auto data_failed(const std::string& path, std::string text) {
  return unexpected(SaveError(DataFileWriteFailed{path, std::move(text)}));
}

auto meta_failed(const std::string& path, std::string text) {
  return unexpected(SaveError(SidecarWriteFailed{path + ".meta", std::move(text)}));
}

// Stages the sidecar, then replaces both files or neither: a failure puts the previous data
// file back.
Expected<void, SaveError> stage_sidecar_and_commit(const std::string& path, StagedFile& data,
                                                   std::string_view text) {
  auto bytes = std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  auto meta = StagedFile::write(path + ".meta", bytes);
  if (!meta) return meta_failed(path, std::move(meta).error());
  StagedFile* const pair[] = {&data, &*meta};
  if (auto committed = commit_together(pair); !committed) {
    CommitError& e = committed.error();
    return e.file == 0 ? data_failed(path, std::move(e.text))
                       : meta_failed(path, std::move(e.text));
  }
  return {};
}

}  // namespace

std::string to_string(const SaveError& e) {
  struct Render {
    std::string operator()(const CompilationFailed& v) const {
      return "Compilation failed: " + to_string(v.error);
    }
    std::string operator()(const DataFileWriteFailed& v) const {
      return "Failed to write '" + v.path + "': " + v.os_text;
    }
    std::string operator()(const SidecarWriteFailed& v) const {
      return "Failed to write metadata '" + v.path + "': " + v.os_text;
    }
  };
  return std::visit(Render{}, e);
}

Expected<void, SaveError> write_index_files(const std::string& path,
                                            std::span<const std::span<const uint8_t>> data_pieces,
                                            std::string_view sidecar_text) {
  auto staged_data = StagedFile::write(path, data_pieces);
  if (!staged_data) return data_failed(path, std::move(staged_data).error());
  return stage_sidecar_and_commit(path, *staged_data, sidecar_text);
}

}  // namespace korvel
