// The methods of HybridIndex, one declaration each (method_decl.h), in the class's fixed
// order, with the signature of each body. Bodies live with their method family
// (methods_build.cc, methods_query.cc, memory_stats.cc).
#pragma once

#include "python/hybrid_index.h"
#include "python/method_decl.h"

namespace korvel::py {

inline constexpr char kClassName[] = "HybridIndex";

struct Builder {
  enum Param : size_t { kSchema, kVectorDim };
  static constexpr Parameter kParams[] = {{kSchema, "schema", kRequired},
                                          {kVectorDim, "vector_dim", kRequired}};
  static constexpr MethodDecl kDecl{
      .owner = kClassName,
      .name = "builder",
      .receiver = Receiver::kNone,
      .params = kParams,
      .doc =
          "Creates a new HybridIndex in build mode.\n"
          "\n"
          "# Arguments\n"
          "- `schema` \u2014 List of categorical trait name strings (1\u201316 names).\n"
          "- `vector_dim` \u2014 Embedding vector dimension (0 for categorical-only).\n"
          "\n"
          "# Returns\n"
          "A configured `HybridIndex` instance ready for record ingestion.\n"
          "\n"
          "# Raises\n"
          "- `ValueError` if schema is empty or has more than 16 traits.",
  };
};

struct AddRecord {
  enum Param : size_t { kDocId, kMetadata, kEmbedding, kExternalOffset };
  static constexpr Parameter kParams[] = {{kDocId, "doc_id", kRequired},
                                          {kMetadata, "metadata", kRequired},
                                          {kEmbedding, "embedding"},
                                          {kExternalOffset, "external_offset"}};
  static constexpr MethodDecl kDecl{
      .owner = kClassName,
      .name = "add_record",
      .receiver = Receiver::kExclusive,
      .params = kParams,
      .doc =
          "Adds a record to the index (build mode only).\n"
          "\n"
          "# Arguments\n"
          "- `doc_id` \u2014 Unique document identifier (uint64).\n"
          "- `metadata` \u2014 Dictionary mapping trait names to string values.\n"
          "- `embedding` \u2014 Optional list of float32 values (length must equal "
          "vector_dim).\n"
          "\n"
          "# Raises\n"
          "- `ValueError` if called in query mode, or if embedding dimension mismatches,\n"
          "  or if a trait value overflows the dictionary capacity.",
  };
};

struct Save {
  enum Param : size_t { kPath };
  static constexpr Parameter kParams[] = {{kPath, "path", kRequired}};
  static constexpr MethodDecl kDecl{
      .owner = kClassName,
      .name = "save",
      .receiver = Receiver::kShared,
      .params = kParams,
      .doc =
          "Saves the index to disk (build mode only).\n"
          "\n"
          "Compiles all buffered records into a `.korvix` file at the given path.\n"
          "Also writes a `.korvix.meta` sidecar file containing schema and trait\n"
          "dictionaries needed for query-time filter resolution.\n"
          "\n"
          "# Arguments\n"
          "- `path` \u2014 File path for the output `.korvix` file.\n"
          "\n"
          "# Raises\n"
          "- `ValueError` if called in query mode.\n"
          "- `IOError` if the file cannot be written.",
  };
};

struct Load {
  enum Param : size_t { kPath };
  static constexpr Parameter kParams[] = {{kPath, "path", kRequired}};
  static constexpr MethodDecl kDecl{
      .owner = kClassName,
      .name = "load",
      .receiver = Receiver::kNone,
      .params = kParams,
      .doc =
          "Loads an index from disk in query mode.\n"
          "\n"
          "Opens the `.korvix` file via memory mapping and reads the companion\n"
          "`.korvix.meta` file for schema and trait dictionary information.\n"
          "\n"
          "# Arguments\n"
          "- `path` \u2014 File path to the `.korvix` file.\n"
          "\n"
          "# Returns\n"
          "A `HybridIndex` in query mode ready for searches.\n"
          "\n"
          "# Raises\n"
          "- `ValueError` if the file is invalid or corrupt.\n"
          "- `IOError` if the file cannot be opened.",
  };
};

struct Search {
  enum Param : size_t { kFilters, kQueryVector, kTopK, kExactRescore, kEmbeddingsData };
  static constexpr Parameter kParams[] = {{kFilters, "filters", kRequired},
                                          {kQueryVector, "query_vector"},
                                          {kTopK, "top_k"},
                                          {kExactRescore, "exact_rescore"},
                                          {kEmbeddingsData, "embeddings_data"}};
  static constexpr MethodDecl kDecl{
      .owner = kClassName,
      .name = "search",
      .receiver = Receiver::kShared,
      .params = kParams,
      .doc = "Searches the index (query mode only).",
  };
};

struct MemoryStats {
  enum Param : size_t {};
  static constexpr MethodDecl kDecl{
      .owner = kClassName,
      .name = "memory_stats",
      .receiver = Receiver::kShared,
      .params = {},
      .doc = "Exposes process memory, memory map, and heap allocations footprint statistics.",
  };
};

PyResult<OwnedRef> builder_body(Args<Builder> args);
PyResult<OwnedRef> load_body(Args<Load> args);
PyResult<OwnedRef> add_record_body(HybridIndexObject* self, Args<AddRecord> args);
PyResult<OwnedRef> save_body(HybridIndexObject* self, Args<Save> args);
PyResult<OwnedRef> search_body(HybridIndexObject* self, Args<Search> args);
PyResult<OwnedRef> memory_stats_body(HybridIndexObject* self, Args<MemoryStats> args);

}  // namespace korvel::py
