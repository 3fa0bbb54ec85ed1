// Writes the seed corpora of the fuzz targets into <dir>/<target>/:
// sidecars and data files as the writers produce them (every trait count and record count
// shape near a block edge, embeddings or none, 4- and 16-bit planes by re-stamping the
// header of a file of matching size), and fixed pseudo-random inputs for the query, engine
// and manifest/column targets.
//   write_seeds <dir>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "build/compile.h"
#include "common/little_endian.h"
#include "sidecar/sidecar.h"

namespace korvel {
namespace {

void write_file(const std::filesystem::path& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out.good()) {
    std::cerr << "cannot write " << path << "\n";
    std::exit(1);
  }
}

struct Shape {
  uint16_t traits;
  uint16_t dim;
  size_t records;
  uint16_t values;  // distinct values per trait
};

BuildState make_state(const Shape& shape, std::mt19937& rng) {
  BuildState s;
  s.trait_count = shape.traits;
  s.vector_dim = shape.dim;
  for (uint16_t t = 0; t < shape.traits; ++t) {
    // One name with every escaped byte and a two-byte UTF-8 character.
    s.schema.push_back("trait" + std::to_string(t) + (t == 1 ? "\t\"\\\n\r\xc3\xa9" : ""));
    s.dicts.emplace_back();
  }
  std::normal_distribution<float> normal;
  for (size_t i = 0; i < shape.records; ++i) {
    BufferedRecord r;
    std::vector<uint16_t> codes;
    for (uint16_t t = 0; t < shape.traits; ++t) {
      std::string value = "v" + std::to_string(rng() % shape.values);
      codes.push_back(*s.dicts[t].assign_token(value, kBuildCodeBits));
      r.values.push_back(std::move(value));
    }
    if (shape.dim > 0 && i % 3 != 2) {
      r.embedding.emplace(shape.dim);
      for (float& v : *r.embedding) v = normal(rng);
      r.external_offset = uint64_t{4} * shape.dim * i;
    }
    r.doc_id = 1000 + i;
    append_record(s, std::move(r), codes);
  }
  return s;
}

}  // namespace
}  // namespace korvel

int main(int argc, char** argv) {
  using namespace korvel;
  if (argc != 2) {
    std::cerr << "usage: write_seeds <dir>\n";
    return 2;
  }
  const std::filesystem::path root = argv[1];
  for (const char* target :
       {"sidecar_fuzz", "reader_fuzz", "query_fuzz", "engine_fuzz", "manifest_columns_fuzz"}) {
    std::filesystem::create_directories(root / target);
  }
  std::mt19937 rng(7);
  const Shape shapes[] = {{1, 0, 0, 1},   {1, 8, 1, 2},   {2, 13, 63, 3}, {3, 16, 64, 5},
                          {1, 33, 65, 4}, {4, 0, 130, 9}, {16, 7, 10, 2}, {2, 64, 40, 300}};
  int i = 0;
  for (const Shape& shape : shapes) {
    const BuildState state = make_state(shape, rng);
    auto image = compile_index(state);
    if (!image) return 1;
    const std::string name = "shape" + std::to_string(i++);
    write_file(root / "reader_fuzz" / name, image->data(), image->size());
    IndexMetadata meta{state.schema, state.dicts, {}};
    for (const BufferedRecord& r : state.records) meta.doc_ids.push_back(r.doc_id);
    const std::string sidecar = serialize_metadata(meta);
    write_file(root / "sidecar_fuzz" / name, sidecar.data(), sidecar.size());
  }
  // 4- and 16-bit planes: an 8-bit file's section sizes fit twice the trait count at 4 bits
  // and half of it (when even) at 16 bits.
  {
    const BuildState state = make_state({2, 8, 70, 3}, rng);
    auto image = compile_index(state);
    if (!image) return 1;
    std::vector<uint8_t> four = *image;
    four[kOffBitWidth] = 4;
    store_u16(&four[kOffTraitCount], 4);
    write_file(root / "reader_fuzz" / "width4", four.data(), four.size());
    std::vector<uint8_t> sixteen = *image;
    sixteen[kOffBitWidth] = 16;
    store_u16(&sixteen[kOffTraitCount], 1);
    write_file(root / "reader_fuzz" / "width16", sixteen.data(), sixteen.size());
  }
  for (size_t len : {16, 64, 200, 600, 1500}) {
    std::vector<uint8_t> bytes(len);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    write_file(root / "query_fuzz" / ("random" + std::to_string(len)), bytes.data(), bytes.size());
  }
  // engine_fuzz reads its shape from the end of the input and seeds its generators from
  // there too: random inputs of a few lengths reach filters, re-ranking and several shards.
  for (size_t len : {24, 96, 256, 512}) {
    std::vector<uint8_t> bytes(len);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    write_file(root / "engine_fuzz" / ("random" + std::to_string(len)), bytes.data(), bytes.size());
  }
  // The Python target (fuzz/manifest_columns_fuzz.py) takes its choices from any bytes.
  for (size_t len : {8, 32, 128, 512}) {
    std::vector<uint8_t> bytes(len);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
    write_file(root / "manifest_columns_fuzz" / ("random" + std::to_string(len)), bytes.data(),
               bytes.size());
  }
  return 0;
}
