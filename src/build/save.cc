// save_index and the render function of SaveError. The sidecar is serialised only after the
// data file is staged and (unless it is written in place) its image released, so the two
// seldom take memory at the same time.
#include "build/save.h"

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "build/compile.h"
#include "common/file_write.h"
#include "sidecar/sidecar.h"

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

Expected<void, SaveError> save_index(const BuildState& state, const std::string& path) {
  auto image = compile_index(state);
  if (!image) return unexpected(CompilationFailed{std::move(image).error()});

  // Both files are written in full before either replaces its predecessor, so a failed
  // write (a full disk, a file size limit) leaves the previous pair as it was, and a
  // process killed while writing leaves the previous pair loadable.
  auto staged_data = StagedFile::write(path, *image);
  if (!staged_data) return data_failed(path, std::move(staged_data).error());
  // The image is released before the sidecar is built unless it still has to be written.
  if (!staged_data->in_place()) std::vector<uint8_t>().swap(*image);

  IndexMetadata metadata;
  metadata.schema = state.schema;
  metadata.dicts = state.dicts;
  metadata.doc_ids.reserve(state.records.size());
  for (const BufferedRecord& r : state.records) metadata.doc_ids.push_back(r.doc_id);
  const std::string text = serialize_metadata(metadata);
  return stage_sidecar_and_commit(path, *staged_data, text);
}

Expected<void, SaveError> write_index_files(const std::string& path,
                                            std::span<const std::span<const uint8_t>> data_pieces,
                                            std::string_view sidecar_text) {
  auto staged_data = StagedFile::write(path, data_pieces);
  if (!staged_data) return data_failed(path, std::move(staged_data).error());
  return stage_sidecar_and_commit(path, *staged_data, sidecar_text);
}

}  // namespace korvel
