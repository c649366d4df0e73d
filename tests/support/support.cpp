#include "support.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tamberok::testing {

ArtifactDb::ArtifactDb(artifact::Contents contents) : ArtifactDb(artifact::write(contents)) {}

ArtifactDb::ArtifactDb(const std::vector<uint8_t>& bytes)
    : bytes_(bytes), db_(std::make_unique<Db>(bytes_.span())) {}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::unique_ptr<ArtifactDb> load_fixture(const std::string& name) {
  return std::make_unique<ArtifactDb>(
      read_file(std::string(TAMBEROK_FIXTURE_DIR) + "/" + name + ".rkyv"));
}

const Db* real_db() {
  try {
    return &global_db();
  } catch (const Panic&) {
    return nullptr;
  }
}

bool real_data_required() {
  const char* value = std::getenv("TAMBEROK_REQUIRE_DATA");
  return value != nullptr && std::string(value) == "1";
}

size_t descriptor_at(std::span<const uint8_t> bytes, TableId table) {
  return bytes.size() - ROOT_SIZE + 8 * static_cast<size_t>(table);
}

size_t first_row_at(std::span<const uint8_t> bytes, TableId table) {
  size_t descriptor = descriptor_at(bytes, table);
  int32_t offset;
  std::memcpy(&offset, bytes.data() + descriptor, 4);
  return static_cast<size_t>(static_cast<int64_t>(descriptor) + offset);
}

std::string_view table_bytes(std::span<const uint8_t> bytes, TableId table) {
  uint32_t count;
  std::memcpy(&count, bytes.data() + descriptor_at(bytes, table) + 4, 4);
  if (count == 0) return {};
  return {reinterpret_cast<const char*>(bytes.data()) + first_row_at(bytes, table),
          count * ROW_SIZES[static_cast<size_t>(table)]};
}

}  // namespace tamberok::testing
