// save_index and the render function of SaveError. The sidecar is serialised only after the
// data file is staged and its image released, so the two never take memory at the same time.
#include "pipeline/save.h"

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "common/file_write.h"
#include "pipeline/compile.h"
#include "sidecar/sidecar.h"

namespace korvel {

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
  const std::string meta_path = path + ".meta";
  auto data_failed = [&](std::string text) {
    return unexpected(SaveError(DataFileWriteFailed{path, std::move(text)}));
  };
  auto meta_failed = [&](std::string text) {
    return unexpected(SaveError(SidecarWriteFailed{meta_path, std::move(text)}));
  };

  // Both files are written in full before either replaces its predecessor, so a failed
  // write (a full disk, a file size limit) leaves the previous pair as it was, and a
  // process killed while writing leaves the previous pair loadable.
  auto staged_data = StagedFile::write(path, *image);
  if (!staged_data) return data_failed(std::move(staged_data).error());
  std::vector<uint8_t>().swap(*image);  // release the image before building the sidecar

  IndexMetadata metadata;
  metadata.schema = state.schema;
  metadata.dicts = state.dicts;
  metadata.doc_ids.reserve(state.records.size());
  for (const BufferedRecord& r : state.records) metadata.doc_ids.push_back(r.doc_id);
  const std::string text = serialize_metadata(metadata);
  auto bytes = std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  auto staged_meta = StagedFile::write(meta_path, bytes);
  if (!staged_meta) return meta_failed(std::move(staged_meta).error());

  // The two renames run back to back: only a process killed between them pairs the new
  // data file with the old sidecar.
  auto data_named = staged_data->name();
  auto meta_named = staged_meta->name();
  if (!data_named) return data_failed(std::move(data_named).error());
  if (!meta_named) return meta_failed(std::move(meta_named).error());
  if (auto c = staged_data->commit(); !c) return data_failed(std::move(c).error());
  if (auto c = staged_meta->commit(); !c) return meta_failed(std::move(c).error());
  if (auto s = staged_data->sync(); !s) return data_failed(std::move(s).error());
  if (auto s = staged_meta->sync(); !s) return meta_failed(std::move(s).error());
  return {};
}

}  // namespace korvel
